#include "engine/win32/store/record_file.h"

#include <windows.h>

#include <vector>

#include "engine/core/store/message_records.h"
#include "engine/win32/log/system_error.h"
#include "engine/win32/platform/file_handle.h"

namespace rvo {

namespace {

std::string recordPath(const std::string& folderDirectory) {
    return folderDirectory + "\\" + std::string(kRecordFileName);
}

FileHandle openForReading(const std::string& path) {
    // Shared for writing too: another run may be appending to it.
    return FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool readChunk(HANDLE file, char* buffer, DWORD wanted, DWORD& got) {
    got = 0;
    while (got < wanted) {
        DWORD n = 0;
        if (!ReadFile(file, buffer + got, wanted - got, &n, nullptr)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}

}  // namespace

bool readRecordFile(const std::string& folderDirectory, std::string& text, std::string& error) {
    text.clear();
    const std::string path = recordPath(folderDirectory);
    const FileHandle file = openForReading(path);
    if (!file.valid()) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
        error = formatSystemError(code, "Could not open the record file %s", path.c_str());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        error = formatSystemError(GetLastError(), "Could not read the record file %s", path.c_str());
        return false;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kMaxRecordFileSize)) {
        error = "The record file " + path + " is larger than " + std::to_string(kMaxRecordFileSize) + " bytes";
        return false;
    }
    text.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    if (!readChunk(file.get(), text.data(), static_cast<DWORD>(text.size()), got)) {
        error = formatSystemError(GetLastError(), "Could not read the record file %s", path.c_str());
        text.clear();
        return false;
    }
    text.resize(got);
    return true;
}

bool RecordAppender::append(const std::string& folderDirectory, std::string_view lines, std::string& error) {
    const std::string path = recordPath(folderDirectory);
    if (!file_.valid() || folderDirectory != directory_) {
        file_ = FileHandle(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        directory_ = folderDirectory;
    }
    DWORD written = 0;
    if (!file_.valid() || !WriteFile(file_.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) ||
        written != lines.size()) {
        error = formatSystemError(GetLastError(), "Could not write the record file %s", path.c_str());
        // Opened again for the next line: the failure may have been passing.
        file_.reset();
        return false;
    }
    return true;
}

}  // namespace rvo
