#include "engine/win32/log/file_finder.h"

#include <windows.h>

namespace rvo {

bool FileFinder::findFirst() {
    close();
    WIN32_FIND_DATAA data{};
    HANDLE h = FindFirstFileA(pattern_.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return true;
    handle_ = h;
    name_ = data.cFileName;
    attributes_ = data.dwFileAttributes;
    return false;
}

bool FileFinder::findNext() {
    if (!handle_) return false;
    WIN32_FIND_DATAA data{};
    if (!FindNextFileA(static_cast<HANDLE>(handle_), &data)) return false;
    name_ = data.cFileName;
    attributes_ = data.dwFileAttributes;
    return true;
}

void FileFinder::close() {
    if (handle_) {
        FindClose(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
}

bool pathExists(const std::string& path) {
    FileFinder finder(path);
    return !finder.findFirst();
}

}  // namespace rvo
