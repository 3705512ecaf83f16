#pragma once
// What an IMAP4 server says it can do, read from the greeting's response
// code ("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2] ready") or from the
// answer to CAPABILITY ("* CAPABILITY IMAP4rev1 AUTH=PLAIN"). Words compare
// without letter case. A server's list is read within limits: words past
// the count and words longer than the word bound are not kept (no word the
// engine asks about is that long).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

struct ImapCapabilityLimits {
    std::size_t maxWords = 200;
    std::size_t maxWordBytes = 64;
};

class ImapCapabilities {
public:
    explicit ImapCapabilities(ImapCapabilityLimits limits = {}) : limits_(limits) {}

    // "* OK [CAPABILITY ...] ...": the list replaces what was known; false
    // (nothing changed) for any other line.
    bool readResponseCode(std::string_view line);
    // "* CAPABILITY ...": the list replaces what was known; false for any other line.
    bool readUntagged(std::string_view line);

    // A list has been read.
    bool known() const { return known_; }
    bool has(std::string_view word) const;
    // "AUTH=<mechanism>" is listed.
    bool offersMechanism(std::string_view mechanism) const;
    // Words of the list read past (beyond the count, or too long).
    std::size_t dropped() const { return dropped_; }
    const std::vector<std::string>& words() const { return words_; }

private:
    void readWords(std::string_view text);

    ImapCapabilityLimits limits_;
    std::vector<std::string> words_;  // upper case
    std::size_t dropped_ = 0;
    bool known_ = false;
};

}  // namespace rvo
