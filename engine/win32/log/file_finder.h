#pragma once
// First-match file search; the search handle is closed with its owner.
#include <string>

namespace rvo {

class FileFinder {
public:
    explicit FileFinder(std::string pattern) : pattern_(std::move(pattern)) {}
    ~FileFinder() { close(); }
    FileFinder(const FileFinder&) = delete;
    FileFinder& operator=(const FileFinder&) = delete;

    // True when nothing matches.
    bool findFirst();
    // False when there is no further match.
    bool findNext();
    const std::string& name() const { return name_; }
    unsigned long attributes() const { return attributes_; }
    void close();

private:
    std::string pattern_;
    void* handle_ = nullptr;  // INVALID_HANDLE_VALUE is mapped to nullptr
    std::string name_;
    unsigned long attributes_ = 0;
};

// True when a file or folder of that path exists.
bool pathExists(const std::string& path);

}  // namespace rvo
