#include "engine/core/imap/imap_search_reader.h"

#include <optional>

#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

// Longer than any message number (4294967295); longer words are not numbers.
constexpr std::size_t kLongestWord = 10;
// What is kept of the words that are not numbers, for one log line.
constexpr std::size_t kIgnoredTextLimit = 200;

}  // namespace

void ImapSearchReader::reset() {
    error_ = Error::None;
    dropped_ = 0;
    ignored_.clear();
    ignoredCount_ = ignoredShown_ = 0;
    wordIndex_ = 0;
    word_.clear();
    wordTooLong_ = false;
}

void ImapSearchReader::feed(std::string_view piece, std::deque<std::uint32_t>& numbers) {
    for (const char c : piece) {
        if (c == ' ') {
            endWord(numbers);
        } else if (word_.size() < kLongestWord) {
            word_.push_back(c);
        } else {
            wordTooLong_ = true;
        }
    }
}

void ImapSearchReader::endLine(std::deque<std::uint32_t>& numbers) {
    endWord(numbers);
    wordIndex_ = 0;
}

void ImapSearchReader::endWord(std::deque<std::uint32_t>& numbers) {
    if (word_.empty()) return;
    const std::size_t index = wordIndex_++;
    const std::optional<std::uint32_t> number = wordTooLong_ ? std::nullopt : parsePositiveNumber(word_);
    if (index >= 2 && number) {
        if (numbers.size() < maxNumbers_) {
            numbers.push_back(*number);
        } else {
            error_ = Error::TooManyNumbers;
            ++dropped_;
        }
    } else if (index >= 2) {
        ++ignoredCount_;
        if (ignored_.size() < kIgnoredTextLimit) {
            ignored_ += " " + word_ + (wordTooLong_ ? "..." : "");
            ++ignoredShown_;
        }
    }
    word_.clear();
    wordTooLong_ = false;
}

}  // namespace rvo
