#pragma once
// A C runtime stream that is closed with its owner.
#include <cstdio>
#include <string>
#include <string_view>

namespace rvo {

class TextFile {
public:
    TextFile() = default;
    ~TextFile() { close(); }
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Throws rvo::Exception "(errno) ...\nFailed to open file <path>" on failure.
    void open(const std::string& path, const char* mode);
    // Returns the number of bytes written.
    std::size_t write(std::string_view bytes);
    // False when buffered bytes could not be written.
    bool flush();
    // Forgets the stream only when closing succeeded.
    bool close();
    bool isOpen() const { return stream_ != nullptr; }

private:
    std::FILE* stream_ = nullptr;
};

}  // namespace rvo
