#pragma once
// Reads the message numbers of "* SEARCH" lines as they arrive. The answer
// for a large folder is one line of several megabytes (590,000 messages
// pass 4 MB), longer than any other line may be; it is taken in pieces of
// any size, and bounded by how many numbers it may hold, not by its length.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace rvo {

class ImapSearchReader {
public:
    enum class Error {
        None,
        // More numbers than the limit: the folder cannot be walked.
        TooManyNumbers,
    };

    explicit ImapSearchReader(std::size_t maxNumbers) : maxNumbers_(maxNumbers) {}

    // A new SEARCH command: no error, nothing ignored.
    void reset();
    // The next bytes of a "* SEARCH" line, its first piece starting with
    // "*", without the line end. Numbers go to `numbers` in server order;
    // past the limit they are counted and dropped.
    void feed(std::string_view piece, std::deque<std::uint32_t>& numbers);
    // The line has ended.
    void endLine(std::deque<std::uint32_t>& numbers);

    Error error() const { return error_; }
    std::size_t maxNumbers() const { return maxNumbers_; }
    // Numbers the answer held beyond what was kept.
    std::uint64_t dropped() const { return dropped_; }
    // The words that were not message numbers since reset, the first of
    // them (each cut short) for the log.
    const std::string& ignoredText() const { return ignored_; }
    std::uint64_t ignoredCount() const { return ignoredCount_; }
    std::uint64_t ignoredShown() const { return ignoredShown_; }

private:
    void endWord(std::deque<std::uint32_t>& numbers);

    std::size_t maxNumbers_;
    Error error_ = Error::None;
    std::uint64_t dropped_ = 0;
    std::string ignored_;
    std::uint64_t ignoredCount_ = 0;
    std::uint64_t ignoredShown_ = 0;
    std::size_t wordIndex_ = 0;  // "*" and "SEARCH" are words 0 and 1
    std::string word_;           // the word being read, cut short
    bool wordTooLong_ = false;
};

}  // namespace rvo
