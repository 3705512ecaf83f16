#include "engine/win32/platform/whole_file.h"

#include <windows.h>

#include <algorithm>

namespace rvo {

ReplacingFile::ReplacingFile(std::string target) : target_(std::move(target)), temporary_(target_ + ".tmp") {
    file_ = FileHandle(CreateFileA(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

ReplacingFile::~ReplacingFile() {
    file_.reset();
    if (!committed_) DeleteFileA(temporary_.c_str());
}

bool ReplacingFile::write(std::string_view bytes) {
    if (!file_.valid()) return false;
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file_.get(), bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

WholeFileResult ReplacingFile::commit() {
    if (!file_.valid()) return WholeFileResult::CannotWrite;
    // On disk before the rename, so the name never leads to a file still in the cache only.
    const bool flushed = FlushFileBuffers(file_.get()) != 0;
    file_.reset();
    if (!flushed) return WholeFileResult::CannotWrite;
    if (!MoveFileExA(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return WholeFileResult::CannotReplace;
    committed_ = true;
    return WholeFileResult::Ok;
}

WholeFileResult writeWholeFile(const std::string& path, std::string_view bytes) {
    const std::size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos && slash > 0) {
        const std::string folder = path.substr(0, slash);
        if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryA(folder.c_str(), nullptr);
    }
    ReplacingFile file(path);
    if (!file.write(bytes)) return WholeFileResult::CannotWrite;
    return file.commit();
}

}  // namespace rvo
