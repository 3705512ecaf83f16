#pragma once
// Stand-in for the SASL OAuth helpers until the portable auth pieces are
// merged (this file is then replaced by theirs): the "status" field of the
// server's failure challenge, a base64 JSON object; empty when there is none.
#include <string>
#include <string_view>

namespace rvo {

inline std::string saslChallengeStatus(std::string_view base64Challenge) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string json;
    unsigned value = 0;
    int bits = -8;
    for (const char c : base64Challenge.substr(0, 4096)) {
        const std::size_t digit = kAlphabet.find(c);
        if (digit == std::string_view::npos) break;
        value = ((value << 6) | static_cast<unsigned>(digit)) & 0xFFFFFF;
        bits += 6;
        if (bits >= 0) {
            json.push_back(static_cast<char>((value >> bits) & 0xFF));
            bits -= 8;
        }
    }
    std::size_t at = json.find("\"status\"");
    if (at == std::string::npos) return {};
    at = json.find(':', at);
    if (at == std::string::npos) return {};
    at = json.find('"', at);
    if (at == std::string::npos) return {};
    const std::size_t end = json.find('"', at + 1);
    if (end == std::string::npos || end - at - 1 > 64) return {};
    return json.substr(at + 1, end - at - 1);
}

}  // namespace rvo
