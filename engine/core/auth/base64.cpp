#include "engine/core/auth/base64.h"

namespace rvo {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::string_view bytes, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        if (pad) out += "==";
    } else if (rest == 2) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        if (pad) out += '=';
    }
    return out;
}

int standardValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64Encode(std::string_view bytes) { return encode(bytes, kStandard, true); }

std::string base64UrlEncode(std::string_view bytes) { return encode(bytes, kUrl, false); }

std::optional<std::string> base64Decode(std::string_view text, std::size_t maxBytes) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
    // Compare before multiplying so no size wraps.
    const std::size_t decoded = text.size() / 4 * 3 - padding;
    if (decoded > maxBytes) return std::nullopt;
    std::string out;
    out.reserve(decoded);
    const std::size_t data = text.size() - padding;
    unsigned accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < data; ++i) {
        const int v = standardValue(text[i]);
        if (v < 0) return std::nullopt;
        accumulator = (accumulator << 6 | static_cast<unsigned>(v)) & 0xFFFFFF;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(accumulator >> bits & 0xFF);
        }
    }
    // The bits left over after the last whole byte must be zero: otherwise
    // two texts would give the same bytes.
    if (bits > 0 && (accumulator & ((1u << bits) - 1)) != 0) return std::nullopt;
    return out;
}

}  // namespace rvo
