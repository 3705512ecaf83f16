#include "engine/win32/imap/imap_file_store.h"

#include <windows.h>

#include "engine/core/store/message_names.h"
#include "engine/win32/log/file_finder.h"
#include "engine/win32/log/system_error.h"
#include "engine/win32/store/record_file.h"

namespace rvo {

std::string ImapFileStore::localFolderName(std::string_view serverName) { return store_.localFolderName(serverName); }

std::string ImapFileStore::folderDirectory(std::string_view localName) { return store_.folderDirectory(localName); }

bool ImapFileStore::ensureFolder(const std::string& directory, std::string& error) {
    // "Work/2005" is two levels.
    return MessageStore::ensureDirectoryTree(directory, LevelSplit::kBackslashAndSlash, error);
}

bool ImapFileStore::listFolder(const std::string& directory, std::vector<std::string>& names, std::string& error) {
    names.clear();
    // Every name a stored message can have ends in ".imap".
    FileFinder finder(duplicatePattern(directory, ""));
    if (finder.findFirst()) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_NO_MORE_FILES) return true;
        error = formatSystemError(code, "Could not list the folder %s", directory.c_str());
        return false;
    }
    do {
        if ((finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(finder.name());
    } while (finder.findNext());
    return true;
}

bool ImapFileStore::readRecords(const std::string& directory, std::string& text, std::string& error) {
    return readRecordFile(directory, text, error);
}

bool ImapFileStore::appendRecords(const std::string& directory, std::string_view lines, std::string& error) {
    return records_.append(directory, lines, error);
}

bool ImapFileStore::beginMessage(const std::string& directory, int counter, std::string_view dateHex,
                                 std::string& error) {
    file_ = store_.openMessage(directory, counter, dateHex);
    fileDirectory_ = directory;
    if (file_.isOpen()) return true;
    error = file_.error();
    return false;
}

bool ImapFileStore::writeMessage(std::string_view bytes, std::string& error) {
    if (file_.write(bytes)) return true;
    error = file_.error();
    return false;
}

bool ImapFileStore::sameAsStored(const std::string& name, std::string& error) {
    return file_.sameContentAs(fileDirectory_ + "\\" + name, error);
}

bool ImapFileStore::commitMessage(FileTime time, std::string& name, bool& stored, std::string& error) {
    stored = file_.commit(time);
    if (!stored) {
        error = file_.error();
        return false;
    }
    const std::string& path = file_.path();
    name = path.substr(path.find_last_of('\\') + 1);
    return true;
}

void ImapFileStore::abandonMessage() { file_.abandon(); }

}  // namespace rvo
