#pragma once
// Finds one numbered line of a text file for the wizard, fed the file's
// bytes in pieces as they are read. Lines end at a line feed; a carriage
// return right before it is part of the line end (text mode), any other
// byte is the line's. The text after the last line feed is one more line,
// empty when the file ends with a line feed.
//
// A line keeps at most kMaxLineChars characters; the rest of a longer line
// is read past, so the lines after it keep their numbers and their text.
#include <cstddef>
#include <string>
#include <string_view>

namespace rvo {

class NumberedLine {
public:
    static constexpr std::size_t kMaxLineChars = 1023;
    enum class Outcome { Reading, Found, TooShort };

    // Lines are counted from 1; a number below 1 is never found.
    explicit NumberedLine(int lineNumber) : wanted_(lineNumber) {}

    // True once the line is found: no more bytes are needed.
    bool feed(std::string_view bytes);
    // The file has ended.
    void end();

    Outcome outcome() const { return outcome_; }
    // The line, at most kMaxLineChars characters; empty unless found.
    const std::string& text() const { return text_; }

private:
    void take(char c);
    void endLine();

    int wanted_;
    long long current_ = 1;
    bool carriageReturn_ = false;
    Outcome outcome_ = Outcome::Reading;
    std::string text_;
};

}  // namespace rvo
