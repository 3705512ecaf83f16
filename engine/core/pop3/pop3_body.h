#pragma once
// The lines of a POP3 multi-line answer (RFC 1939): a line "." alone ends
// it, and the server doubles the leading "." of every other line that
// begins with one. The reader also counts the message's octets as LIST
// gives them: the lines after un-stuffing, each ended by CR LF.
#include <cstdint>
#include <string>
#include <string_view>

namespace rvo {

class Pop3BodyReader {
public:
    struct Line {
        bool end = false;           // the terminating "."; `content` is empty
        std::string_view content;   // the message line, stuffing removed
    };

    // One line as received, its line end removed. After the end has been
    // read, further lines are not the body's: they count nothing.
    Line read(std::string_view line);

    bool ended() const { return ended_; }
    std::uint64_t octets() const { return octets_; }
    void reset() { *this = Pop3BodyReader(); }

private:
    bool ended_ = false;
    std::uint64_t octets_ = 0;
};

// The line as a server sends it inside a multi-line answer, line end excluded.
std::string stuffedPop3Line(std::string_view content);

}  // namespace rvo
