#pragma once
// Numbers read from servers and from the store's own files.
#include <cstdint>
#include <optional>
#include <string_view>

namespace rvo {

inline bool allDecimalDigits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// 1 to 4294967295 written in decimal digits (leading zeros allowed), as
// IMAP's nz-number; empty for anything else, so no value ever wraps.
inline std::optional<std::uint32_t> parsePositiveNumber(std::string_view text) {
    if (!allDecimalDigits(text)) return std::nullopt;
    const std::size_t first = text.find_first_not_of('0');
    if (first == std::string_view::npos) return std::nullopt;
    const std::string_view significant = text.substr(first);
    if (significant.size() > 10 || (significant.size() == 10 && significant > "4294967295")) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : significant) value = value * 10 + static_cast<std::uint32_t>(c - '0');
    return value;
}

}  // namespace rvo
