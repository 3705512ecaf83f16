#pragma once
// Letter case in protocol words and Windows file names: compared byte by
// byte, ASCII letters only, whatever the locale.
#include <algorithm>
#include <string>
#include <string_view>

namespace rvo {

inline char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The text with ASCII letters in upper case: a key that ignores letter case as Windows file names do.
inline std::string asciiUpperCopy(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), asciiUpper);
    return out;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiUpper(x) == asciiUpper(y); });
}

}  // namespace rvo
