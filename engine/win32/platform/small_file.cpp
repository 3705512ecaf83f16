#include "engine/win32/platform/small_file.h"

#include <fstream>

namespace rvo {

SmallFileRead readSmallFile(const std::string& path, std::size_t maxBytes, std::string& text) {
    text.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) return SmallFileRead::CannotRead;
    // One byte more than allowed tells a file that is too large.
    text.resize(maxBytes + 1);
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > maxBytes) {
        text.clear();
        return SmallFileRead::TooLarge;
    }
    return SmallFileRead::Ok;
}

}  // namespace rvo
