#include "engine/win32/store/message_file.h"

#include <windows.h>

#include <climits>
#include <utility>
#include <vector>

#include "engine/core/store/message_comparison.h"
#include "engine/core/store/message_names.h"
#include "engine/win32/log/system_error.h"
#include "engine/win32/platform/file_handle.h"

namespace rvo {

namespace {

// Enough to keep WriteFile calls few without holding much of a message.
constexpr std::size_t kBufferSize = 64 * 1024;
// A folder with this many names taken in one second is not a real case.
constexpr int kMaxNameAttempts = 100000;

bool writeAll(HANDLE h, std::string_view bytes, DWORD& error) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > kBufferSize ? static_cast<DWORD>(kBufferSize)
                                                       : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(h, bytes.data(), chunk, &written, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (written == 0) {
            error = ERROR_WRITE_FAULT;
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// ERROR_SUCCESS, or why the file could not take the name.
DWORD renameOpenFile(HANDLE file, const std::string& path) {
    const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0) return GetLastError();
    // FILE_RENAME_INFO ends in the name's first character; the rest follows it.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * static_cast<std::size_t>(length), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), info->FileName, length);
    if (SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) return ERROR_SUCCESS;
    return GetLastError();
}

}  // namespace

MessageFile::MessageFile(MessageFile&& other) noexcept { *this = std::move(other); }

MessageFile& MessageFile::operator=(MessageFile&& other) noexcept {
    if (this != &other) {
        abandon();
        handle_ = std::exchange(other.handle_, nullptr);
        // The moved-from object must not remove the file it no longer owns.
        temporaryPath_ = std::exchange(other.temporaryPath_, {});
        folder_ = std::move(other.folder_);
        stamp_ = other.stamp_;
        counter_ = other.counter_;
        dateHex_ = std::move(other.dateHex_);
        path_ = std::move(other.path_);
        buffer_ = std::exchange(other.buffer_, {});
        error_ = std::move(other.error_);
    }
    return *this;
}

MessageFile MessageFile::create(std::string folderDirectory, const CivilTime& localNow, int counter,
                                std::string dateHex) {
    MessageFile file;
    file.folder_ = std::move(folderDirectory);
    file.stamp_ = localNow;
    file.counter_ = counter < 0 ? 0 : counter;
    file.dateHex_ = std::move(dateHex);
    file.path_ = messageFilePath(file.folder_, localNow, file.counter_, file.dateHex_);
    file.temporaryPath_ =
        file.folder_ + "\\" + temporaryFileName(messageFileName(localNow, file.counter_, file.dateHex_));
    // DELETE: commit renames the file through this handle.
    HANDLE h = CreateFileA(file.temporaryPath_.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        file.error_ = formatSystemError(GetLastError(), "Could not create message file %s",
                                        file.temporaryPath_.c_str());
        return file;
    }
    file.handle_ = h;
    file.buffer_.reserve(kBufferSize);
    return file;
}

bool MessageFile::write(std::string_view bytes) {
    if (!handle_) return false;
    if (buffer_.size() + bytes.size() <= kBufferSize) {
        buffer_.append(bytes);
        return true;
    }
    if (!flush()) return false;
    if (bytes.size() < kBufferSize) {
        buffer_.append(bytes);
        return true;
    }
    DWORD error = 0;
    if (!writeAll(static_cast<HANDLE>(handle_), bytes, error)) {
        fail(formatSystemError(error, "Could not write message file %s", temporaryPath_.c_str()));
        return false;
    }
    return true;
}

bool MessageFile::writeLine(std::string_view line) { return write(line) && write("\r\n"); }

bool MessageFile::flush() {
    DWORD error = 0;
    if (!writeAll(static_cast<HANDLE>(handle_), buffer_, error)) {
        fail(formatSystemError(error, "Could not write message file %s", temporaryPath_.c_str()));
        return false;
    }
    buffer_.clear();
    return true;
}

bool MessageFile::commit(std::optional<FileTime> time) {
    if (!handle_) {
        if (error_.empty()) error_ = "No message file is open";
        return false;
    }
    if (!flush()) return false;
    // On the open handle: stamping after the rename would open the file again.
    if (time) {
        FILETIME ft;
        ft.dwLowDateTime = static_cast<DWORD>(*time & 0xFFFFFFFFu);
        ft.dwHighDateTime = static_cast<DWORD>(*time >> 32);
        if (!SetFileTime(static_cast<HANDLE>(handle_), &ft, &ft, &ft)) {
            fail(formatSystemError(GetLastError(), "Could not set the time of message file %s", path_.c_str()));
            return false;
        }
    }
    // Renaming never replaces: a name that exists belongs to another message.
    // The open file is renamed through its handle, which saves opening it
    // again by name; where that is refused for another reason than a taken
    // name (older systems), the file is closed and moved by name instead.
    const auto nameTaken = [](DWORD e) { return e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS; };
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < kMaxNameAttempts && counter_ < INT_MAX; ++attempt) {
        if (handle_) {
            error = renameOpenFile(static_cast<HANDLE>(handle_), path_);
            if (error != ERROR_SUCCESS && !nameTaken(error) && !closeHandle()) return false;
        }
        if (!handle_) error = MoveFileA(temporaryPath_.c_str(), path_.c_str()) ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_SUCCESS) {
            temporaryPath_.clear();
            break;
        }
        if (!nameTaken(error)) break;
        path_ = messageFilePath(folder_, stamp_, ++counter_, dateHex_);
    }
    if (error == ERROR_SUCCESS) {
        // Stored under its name already: a failed close loses nothing.
        if (handle_) CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)));
        return true;
    }
    fail(formatSystemError(error, "Could not store message file %s", path_.c_str()));
    return false;
}

bool MessageFile::closeHandle() {
    if (CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)))) return true;
    fail(formatSystemError(GetLastError(), "Could not close message file %s", temporaryPath_.c_str()));
    return false;
}

bool MessageFile::sameContentAs(const std::string& path, std::string& error) {
    error.clear();
    if (!handle_) {
        error = error_.empty() ? "No message file is open" : error_;
        return false;
    }
    if (!flush()) {
        error = error_;
        return false;
    }
    // Shared for writing and deletion: the message being compared is still open.
    const auto open = [](const std::string& name) {
        return FileHandle(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    const std::string* names[2] = {&temporaryPath_, &path};
    FileHandle files[2];
    for (int s = 0; s < 2; ++s) {
        files[s] = open(*names[s]);
        if (!files[s].valid()) {
            error = formatSystemError(GetLastError(), "Could not read %s", names[s]->c_str());
            return false;
        }
    }
    // Servers that keep the folder as one mailbox file rewrite their
    // bookkeeping headers; the comparison leaves those out. Read from the
    // side that is behind, so only a chunk or so is ever held.
    MessageComparator comparator;
    std::vector<char> buffer(kBufferSize);
    while (!comparator.decided()) {
        const MessageComparator::Side side = comparator.wanted();
        const int s = side == MessageComparator::Side::First ? 0 : 1;
        DWORD got = 0;
        if (!ReadFile(files[s].get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            error = formatSystemError(GetLastError(), "Could not compare %s with %s", temporaryPath_.c_str(),
                                      path.c_str());
            return false;
        }
        if (got == 0) {
            comparator.end(side);
        } else {
            comparator.feed(side, std::string_view(buffer.data(), got));
        }
    }
    return comparator.same();
}

void MessageFile::fail(std::string error) {
    error_ = std::move(error);
    abandon();
}

void MessageFile::abandon() {
    if (handle_) CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)));
    if (!temporaryPath_.empty()) {
        DeleteFileA(temporaryPath_.c_str());
        temporaryPath_.clear();
    }
    buffer_.clear();
}

bool MessageFile::removeCommitted(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "No message file was stored";
        return false;
    }
    if (DeleteFileA(path.c_str())) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;
    error = formatSystemError(code, "Could not remove message file %s", path.c_str());
    return false;
}

}  // namespace rvo
