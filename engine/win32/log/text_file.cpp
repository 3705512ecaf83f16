#include "engine/win32/log/text_file.h"

#include <cerrno>

#include "engine/win32/log/system_error.h"

namespace rvo {

void TextFile::open(const std::string& path, const char* mode) {
    close();
    stream_ = std::fopen(path.c_str(), mode);
    if (!stream_) throwSystemError(static_cast<unsigned long>(errno), "Failed to open file %s", path.c_str());
}

std::size_t TextFile::write(std::string_view bytes) {
    if (!stream_) return 0;
    return std::fwrite(bytes.data(), 1, bytes.size(), stream_);
}

bool TextFile::flush() { return stream_ && std::fflush(stream_) == 0; }

bool TextFile::close() {
    if (!stream_) return true;
    if (std::fclose(stream_) != 0) return false;
    stream_ = nullptr;
    return true;
}

}  // namespace rvo
