#include "engine/win32/store/message_store.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "engine/win32/log/file_finder.h"
#include "engine/win32/log/system_error.h"

namespace rvo {

namespace {

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

CivilTime localTimeNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return CivilTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

FileTime systemTimeNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

MessageStore::MessageStore(StoreLayout layout, SystemFolderNames serverNames, SystemFolderNames localNames,
                           LocalClock localClock)
    : layout_(std::move(layout)),
      serverNames_(std::move(serverNames)),
      localNames_(std::move(localNames)),
      localClock_(std::move(localClock)) {}

MessageStore MessageStore::forAccount(const MigrationSettings& settings, const AccountValues& account,
                                      SystemFolderNames localNames, LocalClock localClock) {
    return MessageStore(StoreLayout::forAccount(settings.mailPath, account.domain, account.user),
                        settings.systemFolderNames, std::move(localNames), std::move(localClock));
}

std::string MessageStore::localFolderName(std::string_view serverFolderName) const {
    return rvo::localFolderName(serverFolderName, serverNames_, localNames_);
}

std::string MessageStore::folderDirectory(std::string_view localFolderName) const {
    return layout_.folderDirectory(localFolderName);
}

bool MessageStore::ensureDirectoryTree(const std::string& path, LevelSplit split, std::string& error) {
    // Levels that cannot be created (a share's root, say) may still exist;
    // only the whole path decides.
    DWORD lastError = ERROR_PATH_NOT_FOUND;
    for (const std::string& directory : directoriesToCreate(path, split)) {
        if (isDirectory(directory)) continue;
        if (!CreateDirectoryA(directory.c_str(), nullptr)) lastError = GetLastError();
    }
    if (isDirectory(path)) return true;
    error = formatSystemError(lastError, "Could not create directory %s", path.c_str());
    return false;
}

std::string MessageStore::messageFileName(const std::string& folderDirectory, int counter,
                                          std::string_view dateHex) const {
    return messageFilePath(folderDirectory, localClock_(), counter, dateHex);
}

int MessageStore::countStored(const std::string& folderDirectory, std::string_view dateHex) {
    FileFinder finder(duplicatePattern(folderDirectory, dateHex));
    if (finder.findFirst()) return 0;
    int count = 0;
    do {
        if ((finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) == 0 && isStoredMessageName(finder.name(), dateHex)) {
            ++count;
        }
    } while (finder.findNext());
    return count;
}

MessageFile MessageStore::openMessage(const std::string& folderDirectory, int counter, std::string_view dateHex) {
    // Once per folder: a listing for every message would grow with the folder.
    if (cleanedFolders_.insert(folderDirectory).second) removeStaleTemporaries(folderDirectory);
    return MessageFile::create(folderDirectory, localClock_(), counter, std::string(dateHex));
}

void MessageStore::removeStaleTemporaries(const std::string& folderDirectory) {
    std::vector<std::string> stale;
    {
        FileFinder finder(temporaryPattern(folderDirectory));
        if (!finder.findFirst()) {
            do {
                if ((finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) == 0 && isTemporaryFileName(finder.name())) {
                    stale.push_back(folderDirectory + "\\" + finder.name());
                }
            } while (finder.findNext());
        }
    }
    // A file another writer still has open is not stale; its delete fails.
    for (const std::string& path : stale) DeleteFileA(path.c_str());
}

}  // namespace rvo
