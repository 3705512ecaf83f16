#include "engine/core/imap/imap_untagged_log.h"

#include <algorithm>

#include "engine/core/text/ascii.h"

namespace rvo {

namespace {

// Kinds told apart per answer; a server that makes up new words for every
// line shares one count beyond them.
constexpr std::size_t kMaxKinds = 32;
constexpr std::size_t kLongestKind = 16;

std::string_view word(std::string_view text) { return text.substr(0, text.find(' ')); }

std::string kindOf(std::string_view line) {
    std::string_view rest = line.starts_with("* ") ? line.substr(2) : line;
    std::string_view first = word(rest);
    if (!first.empty() && first.find_first_not_of("0123456789") == std::string_view::npos) {
        rest.remove_prefix(std::min(rest.size(), first.size() + 1));
        first = word(rest);
    }
    std::string kind(first.substr(0, kLongestKind));
    for (char& c : kind) c = asciiUpper(c);
    return kind;
}

}  // namespace

bool UntaggedLogLimit::admit(std::string_view line) {
    std::string kind = kindOf(line);
    if (logged_.size() >= kMaxKinds && !logged_.count(kind)) kind = "\n";  // no line's kind holds a line feed
    std::size_t& count = logged_[kind];
    if (count < perKind_) {
        ++count;
        return true;
    }
    ++heldBack_;
    return false;
}

std::optional<std::string> UntaggedLogLimit::completed() {
    logged_.clear();
    if (heldBack_ == 0) return std::nullopt;
    const std::uint64_t n = heldBack_;
    heldBack_ = 0;
    return "... " + std::to_string(n) + " more untagged lines not logged";
}

}  // namespace rvo
