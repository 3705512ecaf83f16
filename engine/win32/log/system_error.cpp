#include "engine/win32/log/system_error.h"

#include <windows.h>

#include <cctype>
#include <cstdarg>

namespace rvo {

std::string systemErrorText(unsigned long code) {
    char* message = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                   GetUserDefaultLangID(), reinterpret_cast<char*>(&message), 0, nullptr);
    if (n == 0 || !message) return "Failed to format a message string.";
    std::string text(message, n);
    LocalFree(message);
    // Drop the line break the system puts at the end of its messages.
    for (int i = 0; i < 2 && !text.empty(); ++i) {
        if (!std::isprint(static_cast<unsigned char>(text.back()))) text.pop_back();
    }
    return text;
}

namespace {
std::string formatSystemErrorV(unsigned long code, const char* format, std::va_list args) {
    const std::string sentence = formatBoundedV(format, args);
    return formatBounded("(%d) %s\n%s", static_cast<int>(code), systemErrorText(code).c_str(), sentence.c_str());
}
}  // namespace

std::string formatSystemError(unsigned long code, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = formatSystemErrorV(code, format, args);
    va_end(args);
    return text;
}

void throwSystemError(unsigned long code, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = formatSystemErrorV(code, format, args);
    va_end(args);
    throw Exception(text);
}

}  // namespace rvo
