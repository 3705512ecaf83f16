#include "engine/win32/imap/imap_file_store.h"

#include <windows.h>

#include "engine/win32/log/file_finder.h"

namespace rvo {

std::string ImapFileStore::localFolderName(std::string_view serverName) { return store_.localFolderName(serverName); }

std::string ImapFileStore::folderDirectory(std::string_view localName) { return store_.folderDirectory(localName); }

bool ImapFileStore::ensureFolder(const std::string& directory, std::string& error) {
    // "Work/2005" is two levels.
    return MessageStore::ensureDirectoryTree(directory, LevelSplit::kBackslashAndSlash, error);
}

void ImapFileStore::indexFolder(const std::string& directory) {
    if (indexed_ && directory == indexedDirectory_) return;
    index_.clear();
    FileFinder finder(duplicatePattern(directory, ""));
    if (!finder.findFirst()) {
        do {
            if ((finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) == 0) index_.add(finder.name());
        } while (finder.findNext());
    }
    indexedDirectory_ = directory;
    indexed_ = true;
}

int ImapFileStore::countStored(const std::string& directory, std::string_view dateHex) {
    indexFolder(directory);
    return index_.count(dateHex);
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

bool ImapFileStore::commitMessage(FileTime time, bool& stored, std::string& error) {
    stored = file_.commit();
    if (!stored) {
        error = file_.error();
        return false;
    }
    if (indexed_ && fileDirectory_ == indexedDirectory_) {
        const std::string& path = file_.path();
        index_.add(std::string_view(path).substr(path.find_last_of('\\') + 1));
    }
    return MessageStore::stampFileTime(file_.path(), time, error);
}

void ImapFileStore::abandonMessage() { file_.abandon(); }

}  // namespace rvo
