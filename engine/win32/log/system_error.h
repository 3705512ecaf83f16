#pragma once
// Exception texts built from a system error code.
#include <string>

#include "engine/core/text/exception.h"

namespace rvo {

// The system's message for a code, without its final line break;
// "Failed to format a message string." when there is none.
std::string systemErrorText(unsigned long code);

// "(code) system text\n" followed by the formatted sentence, cut at 2048 characters.
std::string formatSystemError(unsigned long code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

[[noreturn]] void throwSystemError(unsigned long code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace rvo
