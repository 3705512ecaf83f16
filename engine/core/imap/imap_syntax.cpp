#include "engine/core/imap/imap_syntax.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "engine/core/text/ascii.h"
#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isDigit); }

// The word that starts at `text` and ends at a blank or the end.
std::string_view firstWord(std::string_view text) { return text.substr(0, text.find(' ')); }

std::string_view afterFirstWord(std::string_view text) {
    const std::size_t blank = text.find(' ');
    return blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
}

bool holdsLineBreakOrNul(std::string_view value) { return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

// Reads up to `maxDigits` digits at text[i]; false when there is none.
bool readNumber(std::string_view text, std::size_t& i, std::size_t maxDigits, int& value) {
    const std::size_t start = i;
    value = 0;
    while (i < text.size() && i - start < maxDigits && isDigit(text[i])) value = value * 10 + (text[i++] - '0');
    return i > start;
}

bool expect(std::string_view text, std::size_t& i, char c) {
    if (i >= text.size() || text[i] != c) return false;
    ++i;
    return true;
}

}  // namespace

bool ImapToken::isAtom(std::string_view word) const { return kind == Kind::Atom && equalsIgnoringCase(text, word); }

ImapToken ImapTokenizer::next() {
    for (;;) {
        if (part_ >= response_.size()) return {};
        const ImapResponsePart& part = response_[part_];
        if (part.kind != ImapResponsePart::Kind::Text) {
            // Literal bytes are taken with the marker that announced them.
            ++part_;
            offset_ = 0;
            continue;
        }
        const std::string_view text = part.bytes;
        while (offset_ < text.size() && text[offset_] == ' ') ++offset_;
        if (offset_ >= text.size()) {
            ++part_;
            offset_ = 0;
            continue;
        }
        const char c = text[offset_];
        if (c == '(') {
            ++offset_;
            return {ImapToken::Kind::Open, "(", 0};
        }
        if (c == ')') {
            ++offset_;
            return {ImapToken::Kind::Close, ")", 0};
        }
        if (c == '"') return readQuoted(text);
        if (c == '{') {
            if (const auto size = literalMarker(text.substr(offset_)); size && text.find('}', offset_) == text.size() - 1) {
                ImapToken token;
                token.literalSize = *size;
                const std::size_t following = part_ + 1;
                if (following < response_.size() && response_[following].kind == ImapResponsePart::Kind::Literal) {
                    token.kind = ImapToken::Kind::String;
                    token.text = response_[following].bytes;
                } else if (following < response_.size() &&
                           response_[following].kind == ImapResponsePart::Kind::Streamed) {
                    token.kind = ImapToken::Kind::Streamed;
                } else {
                    token.kind = ImapToken::Kind::PendingLiteral;
                }
                part_ = following + 1;
                offset_ = 0;
                return token;
            }
        }
        // An atom; a bracketed section ("BODY[HEADER.FIELDS (A B)]") belongs to it whole.
        const std::size_t start = offset_;
        int depth = 0;
        while (offset_ < text.size()) {
            const char d = text[offset_];
            if (d == '[') {
                ++depth;
            } else if (d == ']') {
                if (depth > 0) --depth;
            } else if (depth == 0 && (d == ' ' || d == '(' || d == ')' || d == '"')) {
                break;
            }
            ++offset_;
        }
        return {ImapToken::Kind::Atom, std::string(text.substr(start, offset_ - start)), 0};
    }
}

ImapToken ImapTokenizer::readQuoted(std::string_view text) {
    ImapToken token{ImapToken::Kind::String, {}, 0};
    ++offset_;  // the opening quote
    while (offset_ < text.size()) {
        char c = text[offset_++];
        if (c == '"') return token;
        if (c == '\\' && offset_ < text.size()) c = text[offset_++];
        token.text.push_back(c);
    }
    return token;  // unterminated: the rest of the line
}

bool ImapTokenizer::skipList() {
    for (int depth = 1; depth > 0;) {
        const ImapToken token = next();
        if (token.kind == ImapToken::Kind::End || token.kind == ImapToken::Kind::PendingLiteral) return false;
        if (token.kind == ImapToken::Kind::Open) ++depth;
        if (token.kind == ImapToken::Kind::Close) --depth;
    }
    return true;
}

std::optional<std::uint64_t> literalMarker(std::string_view text) {
    if (text.size() < 3 || text.back() != '}') return std::nullopt;
    const std::size_t open = text.rfind('{');
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view digits = text.substr(open + 1, text.size() - open - 2);
    // 18 digits cannot overflow 64 bits.
    if (!allDigits(digits) || digits.size() > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return value;
}

std::optional<std::string_view> unreadableLiteralMarker(std::string_view text) {
    if (text.empty() || text.back() != '}' || literalMarker(text)) return std::nullopt;
    const std::size_t open = text.rfind('{');
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view marker = text.substr(open);
    return marker.size() > 40 ? marker.substr(0, 40) : marker;
}

bool mayCarryLiterals(std::string_view firstLine) {
    if (!firstLine.starts_with("* ")) return false;
    const std::string_view word = firstWord(firstLine.substr(2));
    for (std::string_view status : {"OK", "NO", "BAD", "BYE", "PREAUTH"}) {
        if (equalsIgnoringCase(word, status)) return false;
    }
    return true;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

ImapStatus taggedStatus(std::string_view line, std::string_view tag) {
    if (tag.empty() || !equalsIgnoringCase(firstWord(line), tag)) return ImapStatus::None;
    const std::string_view word = firstWord(afterFirstWord(line));
    if (equalsIgnoringCase(word, "OK")) return ImapStatus::Ok;
    if (equalsIgnoringCase(word, "NO")) return ImapStatus::No;
    if (equalsIgnoringCase(word, "BAD")) return ImapStatus::Bad;
    return ImapStatus::None;
}

bool isUntagged(std::string_view line, std::string_view word) {
    return line.starts_with("* ") && equalsIgnoringCase(firstWord(line.substr(2)), word);
}

bool isTagged(std::string_view line) { return !line.empty() && line[0] != '*' && line[0] != '+'; }

std::optional<std::string> imapQuoted(std::string_view value) {
    if (holdsLineBreakOrNul(value)) return std::nullopt;
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::optional<std::string> imapAstring(std::string_view value) {
    const bool atom = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F && std::string_view("(){%*\"\\]").find(c) == std::string_view::npos;
    });
    if (atom) return std::string(value);
    return imapQuoted(value);
}

bool ImapListEntry::selectable() const {
    return std::none_of(flags.begin(), flags.end(), [](const std::string& flag) {
        return equalsIgnoringCase(flag, "\\Noselect") || equalsIgnoringCase(flag, "\\NonExistent");
    });
}

std::optional<ImapListEntry> parseListResponse(const ImapResponse& response, std::string& why) {
    ImapTokenizer tokens(response);
    if (!tokens.next().isAtom("*") || !tokens.next().isAtom("LIST")) {
        why = "it is no LIST response";
        return std::nullopt;
    }
    ImapListEntry entry;
    if (tokens.next().kind != ImapToken::Kind::Open) {
        why = "its flags are not a list";
        return std::nullopt;
    }
    for (ImapToken flag = tokens.next(); flag.kind != ImapToken::Kind::Close; flag = tokens.next()) {
        if (flag.kind != ImapToken::Kind::Atom) {
            why = "its flags are not a list";
            return std::nullopt;
        }
        entry.flags.push_back(flag.text);
    }
    const ImapToken delimiter = tokens.next();
    if (delimiter.kind == ImapToken::Kind::String) {
        entry.delimiter = delimiter.text;
    } else if (!delimiter.isAtom("NIL")) {
        why = "its delimiter is neither a quoted character nor NIL";
        return std::nullopt;
    }
    const ImapToken name = tokens.next();
    switch (name.kind) {
        case ImapToken::Kind::Atom:
        case ImapToken::Kind::String:
            entry.name = name.text;
            return entry;
        case ImapToken::Kind::Streamed:
            why = "its name is too long";
            return std::nullopt;
        default:
            why = "it has no name";
            return std::nullopt;
    }
}

const ImapFetchItem* ImapFetchResponse::find(std::string_view name) const {
    for (const ImapFetchItem& item : items) {
        if (equalsIgnoringCase(item.name, name)) return &item;
    }
    return nullptr;
}

std::optional<ImapFetchResponse> parseFetchResponse(const ImapResponse& response) {
    ImapTokenizer tokens(response);
    if (!tokens.next().isAtom("*")) return std::nullopt;
    ImapFetchResponse fetch;
    const ImapToken number = tokens.next();
    if (number.kind != ImapToken::Kind::Atom || !allDigits(number.text)) return std::nullopt;
    fetch.number = number.text;
    if (!tokens.next().isAtom("FETCH") || tokens.next().kind != ImapToken::Kind::Open) return std::nullopt;
    for (;;) {
        const ImapToken name = tokens.next();
        if (name.kind != ImapToken::Kind::Atom) break;  // the closing ")" or a broken response
        ImapFetchItem item{name.text, tokens.next()};
        const bool list = item.value.kind == ImapToken::Kind::Open;
        if (list) item.value.text.clear();
        const bool end = item.value.kind == ImapToken::Kind::End || item.value.kind == ImapToken::Kind::PendingLiteral;
        fetch.items.push_back(std::move(item));
        if (end || (list && !tokens.skipList())) break;
    }
    return fetch;
}

std::optional<std::uint32_t> untaggedCount(std::string_view line, std::string_view word) {
    if (!line.starts_with("* ")) return std::nullopt;
    const std::string_view rest = line.substr(2);
    if (!equalsIgnoringCase(firstWord(afterFirstWord(rest)), word)) return std::nullopt;
    // EXISTS may be 0; every other count is a message number.
    if (firstWord(rest) == "0") return equalsIgnoringCase(word, "EXISTS") ? std::optional<std::uint32_t>(0) : std::nullopt;
    return parsePositiveNumber(firstWord(rest));
}

std::optional<std::uint32_t> responseCodeNumber(std::string_view line, std::string_view code) {
    if (!isUntagged(line, "OK")) return std::nullopt;
    std::string_view rest = afterFirstWord(line.substr(2));
    if (!rest.starts_with('[')) return std::nullopt;
    rest.remove_prefix(1);
    if (!equalsIgnoringCase(firstWord(rest), code)) return std::nullopt;
    rest = afterFirstWord(rest);
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return parsePositiveNumber(rest.substr(0, close));
}

std::optional<CivilTime> parseInternalDate(std::string_view text) {
    static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    CivilTime t;
    if (!readNumber(text, i, 2, t.day) || !expect(text, i, '-')) return std::nullopt;
    const std::string_view month = text.substr(i, 3);
    t.month = 0;
    for (std::size_t m = 0; m < kMonths.size(); ++m) {
        if (equalsIgnoringCase(month, kMonths[m])) t.month = static_cast<int>(m) + 1;
    }
    if (t.month == 0) return std::nullopt;
    i += 3;
    if (!expect(text, i, '-') || !readNumber(text, i, 4, t.year) || !expect(text, i, ' ')) return std::nullopt;
    if (!readNumber(text, i, 2, t.hour) || !expect(text, i, ':') || !readNumber(text, i, 2, t.minute) ||
        !expect(text, i, ':') || !readNumber(text, i, 2, t.second)) {
        return std::nullopt;
    }
    if (i < text.size() && text[i] != ' ') return std::nullopt;
    if (!fileTimeFromCivil(t)) return std::nullopt;
    return t;
}

std::optional<FileTime> internalDateToFileTime(const CivilTime& date, int biasMinutes) {
    const std::optional<FileTime> wallClock = fileTimeFromCivil(date);
    if (!wallClock) return std::nullopt;
    const std::int64_t shift =
        static_cast<std::int64_t>(biasMinutes / 60) * 3600 * static_cast<std::int64_t>(kFileTimeTicksPerSecond);
    const std::int64_t value = static_cast<std::int64_t>(*wallClock) + shift;
    if (value < 0) return std::nullopt;
    return static_cast<FileTime>(value);
}

FileTime fallbackMessageTime() { return *fileTimeFromCivil(CivilTime{1980, 1, 1, 0, 0, 0}); }

std::string formatMessageCaption(std::string_view format, std::string_view folder, int number, int total) {
    std::string out;
    int numbersUsed = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out.push_back(format[i]);
            continue;
        }
        const char conversion = format[i + 1];
        if (conversion == '%') {
            out.push_back('%');
            ++i;
        } else if (conversion == 's') {
            out.append(folder);
            ++i;
        } else if (conversion == 'd' && numbersUsed < 2) {
            out += std::to_string(numbersUsed++ == 0 ? number : total);
            ++i;
        } else {
            out.push_back('%');
        }
    }
    return out;
}

}  // namespace rvo
