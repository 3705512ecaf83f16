/* Ids shared by the resource scripts and the code. */
#pragma once

#define IDD_PROGRESS 101
#define IDC_PROGRESS_LIST 1000
#define IDC_MESSAGE_TEXT 1001

#define IDS_INBOX 1
#define IDS_DRAFTS 2
#define IDS_DELETED_ITEMS 3
#define IDS_SENT_ITEMS 4
#define IDS_DIALOG_TITLE 5
#define IDS_MESSAGE_TEXT 6
