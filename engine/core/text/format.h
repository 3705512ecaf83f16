#pragma once
// printf-style formatting into growable strings and bounded texts.
#include <cstdarg>
#include <cstddef>
#include <string>

namespace rvo {

// Longest text an exception or a bounded diagnostic may carry.
inline constexpr std::size_t kBoundedTextMax = 2048;

// Appends printf-style output of any length to `out`.
void formatString(std::string& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void formatStringV(std::string& out, const char* format, std::va_list args);

// printf-style output cut to kBoundedTextMax characters.
std::string formatBounded(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string formatBoundedV(const char* format, std::va_list args);

}  // namespace rvo
