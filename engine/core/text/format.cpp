#include "engine/core/text/format.h"

#include <cstdio>
#include <vector>

namespace rvo {

void formatStringV(std::string& out, const char* format, std::va_list args) {
    // Start at 1025 bytes; grow to the reported length, or double where the
    // runtime only reports truncation (older Windows runtimes return -1).
    std::size_t size = 1025;
    for (;;) {
        std::vector<char> buffer(size, '\0');
        std::va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(buffer.data(), size, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<std::size_t>(n) < size) {
            out.append(buffer.data(), static_cast<std::size_t>(n));
            return;
        }
        size = n < 0 ? size * 2 : static_cast<std::size_t>(n) + 1;
    }
}

void formatString(std::string& out, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    formatStringV(out, format, args);
    va_end(args);
}

std::string formatBoundedV(const char* format, std::va_list args) {
    char buffer[kBoundedTextMax + 1] = {};
    std::va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (n < 0) buffer[kBoundedTextMax] = '\0';
    return std::string(buffer);
}

std::string formatBounded(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = formatBoundedV(format, args);
    va_end(args);
    return text;
}

}  // namespace rvo
