#pragma once
// A fresh folder under the system's temp path, removed with its contents.
#include <windows.h>

#include <string>

namespace rvo::test {

class TempFolder {
public:
    explicit TempFolder(const std::string& name);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Ends in a backslash.
    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + relative; }

private:
    std::string path_;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& bytes);
void removeTree(const std::string& path);

}  // namespace rvo::test
