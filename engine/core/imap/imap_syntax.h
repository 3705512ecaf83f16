#pragma once
// Reading IMAP4 responses and writing command arguments (RFC 3501).
//
// A response is one line, or a line ending in a literal marker "{n}", the n
// bytes of the literal, and a further line that continues the response, and
// so on. The session keeps the parts of the response being read; the
// tokenizer walks them as one text in which a literal is a single string.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/store/file_time.h"

namespace rvo {

struct ImapResponsePart {
    enum class Kind {
        Text,      // a line without its line end
        Literal,   // the bytes of the literal announced at the end of the previous part
        Streamed,  // a literal that went elsewhere (the message file) or was dropped
    };
    Kind kind = Kind::Text;
    std::string bytes;
};
using ImapResponse = std::vector<ImapResponsePart>;

struct ImapToken {
    enum class Kind {
        End,             // nothing more in the response
        Atom,            // atom, number, NIL, flag, or "BODY[...]"-like item name
        String,          // quoted string (unescaped) or literal
        Streamed,        // literal whose bytes went elsewhere
        PendingLiteral,  // literal announced, its bytes not read yet
        Open,            // "("
        Close,           // ")"
    };
    Kind kind = Kind::End;
    std::string text;
    std::uint64_t literalSize = 0;

    bool isAtom(std::string_view word) const;  // letter case ignored
};

class ImapTokenizer {
public:
    explicit ImapTokenizer(const ImapResponse& response) : response_(response) {}
    ImapToken next();
    // After an Open: skips to its matching Close. False when the response ends first.
    bool skipList();

private:
    ImapToken readQuoted(std::string_view text);
    const ImapResponse& response_;
    std::size_t part_ = 0;
    std::size_t offset_ = 0;
};

// The n of a literal marker "{n}" ending the text; empty when there is none.
std::optional<std::uint64_t> literalMarker(std::string_view text);
// A marker "{...}" ending the text whose size cannot be read ("{-5}", a
// 20-digit size, "{}"): the marker itself (at most 40 bytes), else empty.
std::optional<std::string_view> unreadableLiteralMarker(std::string_view text);

// Status and data responses that never carry literals (OK, NO, BAD, BYE,
// PREAUTH, tagged completions, continuation requests): a trailing "{n}" in
// their free text is text.
bool mayCarryLiterals(std::string_view firstLine);

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);

enum class ImapStatus { None, Ok, No, Bad };

// The completion of the command tagged `tag`: "<tag> OK|NO|BAD" followed by a
// blank or the end of the line, letter case ignored. None for any other line.
ImapStatus taggedStatus(std::string_view line, std::string_view tag);

// "* <word>" (letter case ignored): the untagged response of that kind.
bool isUntagged(std::string_view line, std::string_view word);
// "<tag> ..." for any tag: not untagged, not a continuation request.
bool isTagged(std::string_view line);

// LOGIN argument: the value itself when it is an atom, else a quoted string
// with \" and \\ escaped. Empty for a value holding CR, LF or NUL, which no
// quoted string can carry.
std::optional<std::string> imapAstring(std::string_view value);
// Always the quoted form (a mailbox name for SELECT); empty as above.
std::optional<std::string> imapQuoted(std::string_view value);

struct ImapListEntry {
    std::vector<std::string> flags;
    std::optional<std::string> delimiter;  // empty for NIL
    std::string name;
    // \Noselect or \NonExistent anywhere in the flags.
    bool selectable() const;
};
// A "* LIST" response; empty with the reason when it does not parse.
std::optional<ImapListEntry> parseListResponse(const ImapResponse& response, std::string& why);


// One item of a "* n FETCH (...)" response. A parenthesised value is skipped
// and comes as an Open token with empty text.
struct ImapFetchItem {
    std::string name;
    ImapToken value;
};
struct ImapFetchResponse {
    std::string number;
    std::vector<ImapFetchItem> items;
    const ImapFetchItem* find(std::string_view name) const;  // letter case ignored
    const ImapFetchItem* last() const { return items.empty() ? nullptr : &items.back(); }
};
// Also reads a response whose literal is still pending (the last value is then PendingLiteral).
std::optional<ImapFetchResponse> parseFetchResponse(const ImapResponse& response);


// "* <n> <word>" (EXISTS, EXPUNGE, ...; letter case ignored): n, or empty.
std::optional<std::uint32_t> untaggedCount(std::string_view line, std::string_view word);
// "* OK [<code> <n>] ..." (UIDVALIDITY, UIDNEXT, ...): n, or empty.
std::optional<std::uint32_t> responseCodeNumber(std::string_view line, std::string_view code);

// INTERNALDATE "dd-Mon-yyyy hh:mm:ss +zzzz" (day may be " d"); month names in
// any letter case; the zone is read past and not used. Empty when the text
// is no such date or names no existing day and time.
std::optional<CivilTime> parseInternalDate(std::string_view text);

// The server's wall-clock date taken as this machine's standard time and
// turned into UTC in whole hours: + (biasMinutes / 60) hours (truncated).
std::optional<FileTime> internalDateToFileTime(const CivilTime& date, int biasMinutes);

// The time given to a message without a usable date: 1 January 1980 00:00:00,
// the same on every run, so its name and the duplicate test stay stable.
FileTime fallbackMessageTime();

// The progress caption: %s, then %d twice, are the folder, message number and
// total; "%%" is a percent sign; any other conversion is copied as it stands.
std::string formatMessageCaption(std::string_view format, std::string_view folder, int number, int total);

}  // namespace rvo
