#include "engine/core/imap/imap_capabilities.h"

#include <algorithm>

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/text/ascii.h"

namespace rvo {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool ImapCapabilities::readResponseCode(std::string_view line) {
    if (!isUntagged(line, "OK")) return false;
    std::string_view rest = line.substr(2);
    rest.remove_prefix(std::min(rest.size(), std::size_t{2}));  // "OK"
    while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
    constexpr std::string_view kCode = "[CAPABILITY";
    if (!startsWithIgnoringCase(rest, kCode)) return false;
    rest.remove_prefix(kCode.size());
    // "[CAPABILITYX ...]" is another code.
    if (!rest.empty() && !isBlank(rest.front()) && rest.front() != ']') return false;
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    readWords(rest.substr(0, close));
    return true;
}

bool ImapCapabilities::readUntagged(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!isUntagged(line, "CAPABILITY")) return false;
    std::string_view rest = line.substr(2);
    rest.remove_prefix(std::string_view("CAPABILITY").size());
    if (!rest.empty() && !isBlank(rest.front())) return false;
    readWords(rest);
    return true;
}

void ImapCapabilities::readWords(std::string_view text) {
    words_.clear();
    dropped_ = 0;
    known_ = true;
    while (!text.empty()) {
        while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
        std::size_t end = 0;
        while (end < text.size() && !isBlank(text[end])) ++end;
        if (end == 0) break;
        const std::string_view word = text.substr(0, end);
        text.remove_prefix(end);
        if (word.size() > limits_.maxWordBytes || words_.size() >= limits_.maxWords) {
            ++dropped_;
            continue;
        }
        words_.push_back(asciiUpperCopy(word));
    }
}

bool ImapCapabilities::has(std::string_view word) const {
    return std::any_of(words_.begin(), words_.end(), [&](const std::string& w) { return equalsIgnoringCase(w, word); });
}

bool ImapCapabilities::offersMechanism(std::string_view mechanism) const {
    return !mechanism.empty() && has("AUTH=" + std::string(mechanism));
}

}  // namespace rvo
