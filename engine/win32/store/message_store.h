#pragma once
// The message store of one account (or of the library's destination): folder
// directories, the duplicate test and message files.
//
// Storing one message:
//   local = localFolderName(serverName)            (IMAP; POP3 uses "inbox")
//   folderNameProblem(local) -> log and skip the folder when set
//   dir = folderDirectory(local); ensureDirectoryTree(dir, split, error)
//   hex = dateHex(messageTime)
//   (IMAP) the session decides from the folder's listing and record file
//     whether the message is stored already (see StoredFolder)
//   file = openMessage(dir, counter, hex); file.writeLine(imapHeaderLine(hex)) (IMAP)
//   file.write/writeLine(...) as the body arrives; file.commit(messageTime) (IMAP),
//   file.commit() (POP3: the file keeps the time it was written)
// A false result or a closed file means the message is not stored; the
// error text says why and is the caller's to log.
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "engine/core/store/file_time.h"
#include "engine/core/store/message_names.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/store_layout.h"
#include "engine/win32/store/message_file.h"

namespace rvo {

// This machine's local time now (GetLocalTime); names message files.
CivilTime localTimeNow();
// UTC now as a FILETIME value (GetSystemTimeAsFileTime); a POP3 message's time.
FileTime systemTimeNow();

class MessageStore {
public:
    using LocalClock = std::function<CivilTime()>;

    // serverNames: the settings' system folder names; localNames: string
    // table texts 1 to 4 of the running program.
    MessageStore(StoreLayout layout, SystemFolderNames serverNames, SystemFolderNames localNames,
                 LocalClock localClock = localTimeNow);
    // The batch program's store: mail path\domain\user, the settings' system folder names.
    static MessageStore forAccount(const MigrationSettings& settings, const AccountValues& account,
                                   SystemFolderNames localNames, LocalClock localClock = localTimeNow);

    std::string localFolderName(std::string_view serverFolderName) const;
    std::string folderDirectory(std::string_view localFolderName) const;

    // Creates every missing level of `path`. False with the reason when the
    // directory does not exist afterwards.
    static bool ensureDirectoryTree(const std::string& path, LevelSplit split, std::string& error);

    // Full path for a message named now.
    std::string messageFileName(const std::string& folderDirectory, int counter, std::string_view dateHex) const;

    // Stored messages of that dateHex in the folder (a missing folder holds none).
    static int countStored(const std::string& folderDirectory, std::string_view dateHex);
    static bool isAlreadyStored(const std::string& folderDirectory, std::string_view dateHex) {
        return countStored(folderDirectory, dateHex) > 0;
    }

    // Starts a message file named now; the first time in a folder, removes
    // what an interrupted run left there. Check isOpen() and error() of the result.
    MessageFile openMessage(const std::string& folderDirectory, int counter, std::string_view dateHex);

    // Deletes the temporary files of unfinished messages in the folder.
    static void removeStaleTemporaries(const std::string& folderDirectory);

private:
    StoreLayout layout_;
    SystemFolderNames serverNames_;
    SystemFolderNames localNames_;
    LocalClock localClock_;
    std::set<std::string> cleanedFolders_;
};

}  // namespace rvo
