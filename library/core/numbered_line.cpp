#include "library/core/numbered_line.h"

namespace rvo {

bool NumberedLine::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (outcome_ != Outcome::Reading) break;
        if (carriageReturn_) {
            carriageReturn_ = false;
            if (c == '\n') {
                endLine();
                continue;
            }
            take('\r');
        }
        if (c == '\r') {
            carriageReturn_ = true;
        } else if (c == '\n') {
            endLine();
        } else {
            take(c);
        }
    }
    return outcome_ == Outcome::Found;
}

void NumberedLine::end() {
    if (outcome_ != Outcome::Reading) return;
    if (carriageReturn_) take('\r');
    carriageReturn_ = false;
    // The last line ends with the file, even when it is empty.
    if (current_ == wanted_) {
        outcome_ = Outcome::Found;
    } else {
        outcome_ = Outcome::TooShort;
        text_.clear();
    }
}

void NumberedLine::take(char c) {
    if (current_ == wanted_ && text_.size() < kMaxLineChars) text_.push_back(c);
}

void NumberedLine::endLine() {
    if (current_ == wanted_) {
        outcome_ = Outcome::Found;
        return;
    }
    ++current_;
}

}  // namespace rvo
