#include "engine/core/log/log_text.h"

namespace rvo {

std::string singleLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            out.push_back(c);
            continue;
        }
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out.push_back(' ');
    }
    return out;
}

std::string boundedLogText(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    std::string out(text.substr(0, limit));
    out += " ... (" + std::to_string(text.size()) + " bytes in all)";
    return out;
}

}  // namespace rvo
