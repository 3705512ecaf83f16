#include "engine/win32/imap/imap_file_store.h"

namespace rvo {

std::string ImapFileStore::localFolderName(std::string_view serverName) { return store_.localFolderName(serverName); }

std::string ImapFileStore::folderDirectory(std::string_view localName) { return store_.folderDirectory(localName); }

bool ImapFileStore::ensureFolder(const std::string& directory, std::string& error) {
    // "Work/2005" is two levels.
    return MessageStore::ensureDirectoryTree(directory, LevelSplit::kBackslashAndSlash, error);
}

int ImapFileStore::countStored(const std::string& directory, std::string_view dateHex) {
    return MessageStore::countStored(directory, dateHex);
}

bool ImapFileStore::beginMessage(const std::string& directory, int counter, std::string_view dateHex,
                                 std::string& error) {
    file_ = store_.openMessage(directory, counter, dateHex);
    if (file_.isOpen()) return true;
    error = file_.error();
    return false;
}

bool ImapFileStore::writeMessage(std::string_view bytes, std::string& error) {
    if (file_.write(bytes)) return true;
    error = file_.error();
    return false;
}

bool ImapFileStore::commitMessage(FileTime time, bool& stored, std::string& error) {
    stored = file_.commit();
    if (!stored) {
        error = file_.error();
        return false;
    }
    return MessageStore::stampFileTime(file_.path(), time, error);
}

void ImapFileStore::abandonMessage() { file_.abandon(); }

}  // namespace rvo
