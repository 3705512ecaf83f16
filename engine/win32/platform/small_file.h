#pragma once
// A small file read whole (a certificate list, a key file), refused when it
// holds more than the caller will take, so a wrong path cannot make the
// program read a disk image into memory.
#include <cstddef>
#include <string>

namespace rvo {

enum class SmallFileRead { Ok, CannotRead, TooLarge };

// `text` holds the file when the result is Ok.
SmallFileRead readSmallFile(const std::string& path, std::size_t maxBytes, std::string& text);

}  // namespace rvo
