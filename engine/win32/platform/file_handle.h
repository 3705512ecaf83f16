#pragma once
// Owner of a kernel file handle (CreateFile's INVALID_HANDLE_VALUE is the
// empty value); closing keeps GetLastError, so a caller can still report it.
#include <windows.h>

#include <utility>

namespace rvo {

class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle() { reset(); }
    FileHandle(FileHandle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    void reset() {
        if (valid()) {
            const DWORD error = GetLastError();
            CloseHandle(h_);
            SetLastError(error);
        }
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace rvo
