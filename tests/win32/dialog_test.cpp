#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/core/text/exception.h"
#include "engine/win32/ui/dialog_progress_view.h"
#include "engine/win32/ui/dialog_window.h"
#include "resources/resource_ids.h"
#include "tests/win32/recording_log.h"

namespace rvo {
namespace {

using test::RecordingLog;

// The progress dialog with a list and a message text, as the programs use it.
class ProgressDialog : public DialogWindow {
public:
    explicit ProgressDialog(LogSink& log, int extraControlId = 0)
        : DialogWindow(log, "Test Object"), list(IDC_PROGRESS_LIST), text(IDC_MESSAGE_TEXT), extra(extraControlId) {
        addControl(list);
        addControl(text);
        if (extraControlId) addControl(extra);
    }
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        seen.push_back(message);
        if (DialogWindow::handleMessage(message, wParam, lParam) == 0) return 0;
        if (message == WM_INITDIALOG) initialised = true;
        if (message == WM_COMMAND) {
            commands.push_back(LOWORD(wParam));
            return 0;
        }
        return 1;
    }
    ListViewControl list;
    StaticTextControl text;
    DialogControl extra;
    std::vector<UINT> seen;
    std::vector<int> commands;
    bool initialised = false;
};

void pumpPending() {
    MSG message{};
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

TEST(DialogFramework, BindsAtInitAndIgnoresEarlierMessages) {
    RecordingLog log;
    ProgressDialog dialog(log);
    DialogLauncher launcher;
    HWND window = launcher.create(GetModuleHandleA(nullptr), IDD_PROGRESS, dialog, nullptr);
    ASSERT_NE(window, nullptr);
    // WM_SETFONT and the like come before WM_INITDIALOG and must not reach the object.
    ASSERT_FALSE(dialog.seen.empty());
    EXPECT_EQ(dialog.seen.front(), static_cast<UINT>(WM_INITDIALOG));
    EXPECT_TRUE(dialog.initialised);
    EXPECT_EQ(dialog.window(), window);
    EXPECT_NE(dialog.list.handle(), nullptr);
    EXPECT_NE(dialog.text.handle(), nullptr);
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, "TITLE");
    DestroyWindow(window);
}

// The dialog's own handler, as the programs route the view's message.
class ViewDialog : public ProgressDialog {
public:
    using ProgressDialog::ProgressDialog;
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == DialogProgressView::kShowMessage) {
            view.showPending();
            ++shows;
            return 0;
        }
        return ProgressDialog::handleMessage(message, wParam, lParam);
    }
    DialogProgressView view{list, text};
    int shows = 0;
};

TEST(DialogFramework, ProgressLinesKeepTheFirstOnTopAndTheNewestBelowIt) {
    RecordingLog log;
    ViewDialog dialog(log);
    HWND window = DialogLauncher().create(GetModuleHandleA(nullptr), IDD_PROGRESS, dialog, nullptr);
    ASSERT_TRUE(dialog.list.insertColumn(0, dialog.list.clientWidth(), "Information"));
    ASSERT_TRUE(dialog.list.insertColumn(0, 50, "Second"));
    EXPECT_EQ(dialog.list.columnCount(), 2);

    dialog.view.addLine("A");
    dialog.view.addLine("B");
    dialog.view.addLine("C");
    pumpPending();
    ASSERT_EQ(dialog.list.itemCount(), 3);
    EXPECT_EQ(dialog.list.itemText(0), "A");
    EXPECT_EQ(dialog.list.itemText(1), "C");
    EXPECT_EQ(dialog.list.itemText(2), "B");

    dialog.view.setCaption("Processing [INBOX]\nMessage [3] of [7] for this User");
    pumpPending();
    char text[128] = {};
    GetWindowTextA(dialog.text.handle(), text, sizeof text);
    EXPECT_STREQ(text, "Processing [INBOX]\nMessage [3] of [7] for this User");

    dialog.list.deleteAllItems();
    dialog.view.addLine("D");
    pumpPending();
    EXPECT_EQ(dialog.list.itemText(0), "D");
    DestroyWindow(window);
}

TEST(DialogFramework, AWorkerNeverWaitsForTheDialogAndEveryLineArrivesInOrder) {
    RecordingLog log;
    ViewDialog dialog(log);
    HWND window = DialogLauncher().create(GetModuleHandleA(nullptr), IDD_PROGRESS, dialog, nullptr);
    ASSERT_TRUE(dialog.list.insertColumn(0, dialog.list.clientWidth(), "Information"));

    // This thread does not pump while the worker runs: a synchronous
    // message would block the worker until the join below, for ever.
    std::thread worker([&] {
        for (int i = 0; i < 500; ++i) dialog.view.addLine("line " + std::to_string(i));
        dialog.view.addLines({"last but one", "last"});
        dialog.view.setCaption("first caption");
        dialog.view.setCaption("newest caption");
    });
    worker.join();
    EXPECT_EQ(dialog.list.itemCount(), 0);

    pumpPending();
    // One posted message carried them all.
    EXPECT_EQ(dialog.shows, 1);
    ASSERT_EQ(dialog.list.itemCount(), 502);
    EXPECT_EQ(dialog.list.itemText(0), "line 0");
    EXPECT_EQ(dialog.list.itemText(1), "last");
    EXPECT_EQ(dialog.list.itemText(2), "last but one");
    EXPECT_EQ(dialog.list.itemText(3), "line 499");
    EXPECT_EQ(dialog.list.itemText(501), "line 1");
    char text[64] = {};
    GetWindowTextA(dialog.text.handle(), text, sizeof text);
    EXPECT_STREQ(text, "newest caption");

    // Queued after the window is gone: dropped without harm.
    DestroyWindow(window);
    dialog.view.addLine("too late");
    pumpPending();
}

TEST(DialogFramework, EscapeAndCancelArriveAsCommandTwoAndCloseEndsTheLoop) {
    RecordingLog log;
    ProgressDialog dialog(log);
    HWND window = DialogLauncher().create(GetModuleHandleA(nullptr), IDD_PROGRESS, dialog, nullptr);
    MSG escape{window, WM_KEYDOWN, VK_ESCAPE, 1, 0, {}};
    escape.hwnd = dialog.list.handle();
    EXPECT_TRUE(IsDialogMessageA(window, &escape));
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(dialog.commands, (std::vector<int>{IDCANCEL, IDCANCEL}));

    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    MSG message{};
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    pumpPending();
}

TEST(DialogFramework, ExceptionInAHandlerIsReportedNotPassedToTheDialogManager) {
    RecordingLog log;
    ProgressDialog dialog(log, 4242);  // the template has no such item
    HWND window = DialogLauncher().create(GetModuleHandleA(nullptr), IDD_PROGRESS, dialog, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Test Object (", 0), 0u) << log.lines[0];
    EXPECT_NE(log.lines[0].find("\nFailed to get dialog item"), std::string::npos);
    DestroyWindow(window);
}

TEST(DialogFramework, MissingTemplateOrStringThrows) {
    RecordingLog log;
    ProgressDialog dialog(log);
    try {
        DialogLauncher().create(GetModuleHandleA(nullptr), 999, dialog, nullptr);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.text()).find("\nFailed to create modeless dialog box."), std::string::npos);
    }
    EXPECT_EQ(loadResourceString(IDS_DIALOG_TITLE, GetModuleHandleA(nullptr)),
              "Migrating Messages For User [%s] - [Step 9 of 9]");
    EXPECT_EQ(loadResourceString(IDS_MESSAGE_TEXT, GetModuleHandleA(nullptr)),
              "Processing [%s]\nMessage [%d] of [%d] for this User");
    EXPECT_EQ(loadResourceString(IDS_INBOX, GetModuleHandleA(nullptr)), "inbox");
    EXPECT_EQ(loadResourceString(IDS_SENT_ITEMS, GetModuleHandleA(nullptr)), "Sent Items");
    try {
        loadResourceString(77, GetModuleHandleA(nullptr));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.text()).find("\nFailed to load a string from resource."), std::string::npos);
    }
}

}  // namespace
}  // namespace rvo
