#include "engine/core/store/message_comparison.h"

#include <algorithm>

#include "engine/core/text/ascii.h"

namespace rvo {

namespace {

// Longer than any name on the list with blanks before its colon: a line
// start this long without a colon names no field of the list.
constexpr std::size_t kLongestHeld = 32;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isBookkeepingHeader(std::string_view nameAndColon) {
    std::string_view name = nameAndColon.substr(0, nameAndColon.size() - 1);
    while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
    return std::any_of(kBookkeepingHeaders.begin(), kBookkeepingHeaders.end(),
                       [name](std::string_view listed) { return equalsIgnoringCase(name, listed); });
}

}  // namespace

void BookkeepingHeaderFilter::feed(std::string_view chunk, std::string& out) {
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        const char c = chunk[i];
        switch (mode_) {
            case Mode::Body:
                out.append(chunk.substr(i));
                return;
            case Mode::Keep:
                out.push_back(c);
                if (c == '\n') mode_ = Mode::LineStart;
                break;
            case Mode::Skip:
                if (c == '\n') mode_ = Mode::LineStart;
                break;
            case Mode::LineStart:
                if (c == '\n') {
                    out.push_back(c);
                    mode_ = Mode::Body;
                } else if (c == '\r') {
                    mode_ = Mode::CarriageReturnAtStart;
                } else if (isBlank(c)) {
                    // A folded line belongs to the field before it.
                    if (skippedLine_) {
                        mode_ = Mode::Skip;
                    } else {
                        out.push_back(c);
                        mode_ = Mode::Keep;
                    }
                } else {
                    skippedLine_ = false;
                    held_.clear();
                    mode_ = Mode::Name;
                    --i;  // the first byte of the name
                }
                break;
            case Mode::CarriageReturnAtStart:
                out.push_back('\r');
                skippedLine_ = false;
                if (c == '\n') {
                    out.push_back(c);
                    mode_ = Mode::Body;
                } else {
                    // Not an empty line; no field name starts with CR.
                    mode_ = Mode::Keep;
                    --i;
                }
                break;
            case Mode::Name:
                held_.push_back(c);
                if (c == ':' && isBookkeepingHeader(held_)) {
                    held_.clear();
                    skippedLine_ = true;
                    mode_ = Mode::Skip;
                } else if (c == ':' || c == '\n' || held_.size() > kLongestHeld) {
                    out.append(held_);
                    held_.clear();
                    mode_ = c == '\n' ? Mode::LineStart : Mode::Keep;
                }
                break;
        }
    }
}

void BookkeepingHeaderFilter::finish(std::string& out) {
    if (mode_ == Mode::CarriageReturnAtStart) out.push_back('\r');
    out.append(held_);
    held_.clear();
    mode_ = Mode::Body;
}

void MessageComparator::feed(Side side, std::string_view chunk) {
    const int s = side == Side::First ? 0 : 1;
    if (differs_ || ended_[s]) return;
    filter_[s].feed(chunk, pending_[s]);
    compare();
}

void MessageComparator::end(Side side) {
    const int s = side == Side::First ? 0 : 1;
    if (ended_[s]) return;
    filter_[s].finish(pending_[s]);
    ended_[s] = true;
    compare();
}

MessageComparator::Side MessageComparator::wanted() const {
    if (ended_[0]) return Side::Second;
    if (ended_[1]) return Side::First;
    return pending_[0].size() <= pending_[1].size() ? Side::First : Side::Second;
}

void MessageComparator::compare() {
    const std::size_t n = std::min(pending_[0].size(), pending_[1].size());
    if (pending_[0].compare(0, n, pending_[1], 0, n) != 0) {
        differs_ = true;
    } else {
        pending_[0].erase(0, n);
        pending_[1].erase(0, n);
    }
    // A side that has ended cannot match what the other has beyond it.
    for (int s = 0; s < 2; ++s)
        if (ended_[s] && pending_[s].empty() && !pending_[1 - s].empty()) differs_ = true;
    if (differs_) pending_[0].clear(), pending_[1].clear();
}

bool sameMessageContent(std::string_view first, std::string_view second) {
    MessageComparator comparator;
    comparator.feed(MessageComparator::Side::First, first);
    comparator.feed(MessageComparator::Side::Second, second);
    comparator.end(MessageComparator::Side::First);
    comparator.end(MessageComparator::Side::Second);
    return comparator.same();
}

}  // namespace rvo
