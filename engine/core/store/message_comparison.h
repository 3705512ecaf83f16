#pragma once
// Whether a message just fetched is the one a stored file holds, when no
// record ties the file to it. Servers that keep a folder as one mailbox file
// write their own bookkeeping into every message's header (the folder's
// UIDVALIDITY and next UID, the message's UID, its flags, its length) and
// rewrite it when the folder changes, so a message fetched again after such
// a change differs from its stored copy only in those lines. The comparison
// leaves out exactly those header lines, and compares every other byte.
//
// Both sides are fed in chunks of any size, in any order; only what one side
// has ahead of the other is kept, so neither file is held whole when the
// caller reads from the side wanted() names.
#include <array>
#include <string>
#include <string_view>

namespace rvo {

// The header fields mailbox-file servers keep inside a message, one list.
inline constexpr std::array<std::string_view, 7> kBookkeepingHeaders = {
    "X-IMAPbase", "X-UID", "X-UIDL", "Status", "X-Status", "X-Keywords", "Content-Length"};

// Passes a message's bytes on without the bookkeeping header lines: only in
// the header section (before the first empty line, LF or CR LF), names in
// any letter case, folded continuation lines of a left-out line left out too.
class BookkeepingHeaderFilter {
public:
    // Appends the bytes of `chunk` that count to `out`.
    void feed(std::string_view chunk, std::string& out);
    // The input has ended: what was held back to be decided goes to `out`.
    void finish(std::string& out);

private:
    enum class Mode { LineStart, CarriageReturnAtStart, Name, Keep, Skip, Body };

    Mode mode_ = Mode::LineStart;
    bool skippedLine_ = false;  // the last header line was left out: its continuations are too
    std::string held_;          // the start of a header line until its name is known
};

class MessageComparator {
public:
    enum class Side { First, Second };

    void feed(Side side, std::string_view chunk);
    // The side has no more bytes.
    void end(Side side);

    // The side to read next: the one whose counted bytes are behind.
    Side wanted() const;
    // Known to differ, or both sides ended.
    bool decided() const { return differs_ || (ended_[0] && ended_[1]); }
    // Both sides ended and every counted byte agreed.
    bool same() const { return !differs_ && ended_[0] && ended_[1]; }

private:
    void compare();

    BookkeepingHeaderFilter filter_[2];
    std::string pending_[2];  // counted bytes not yet matched against the other side
    bool ended_[2] = {false, false};
    bool differs_ = false;
};

// Both whole, for callers that hold them anyway.
bool sameMessageContent(std::string_view first, std::string_view second);

}  // namespace rvo
