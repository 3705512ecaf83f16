#include "tests/win32/temp_folder.h"

#include <fstream>
#include <sstream>

namespace rvo::test {

TempFolder::TempFolder(const std::string& name) {
    char base[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, base);
    path_ = std::string(base) + "kelvar-" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount()) + "\\";
    removeTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() { removeTree(path_); }

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void removeTree(const std::string& path) {
    std::string folder = path;
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    WIN32_FIND_DATAA data{};
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = folder + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(child);
            else DeleteFileA(child.c_str());
        } while (FindNextFileA(h, &data));
        FindClose(h);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace rvo::test

