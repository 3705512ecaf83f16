#pragma once
// A bounded reader of the one JSON object (RFC 8259) that an identity
// provider answers, a key file holds or a server's SASL challenge carries.
// Only the top-level members matter to us: their strings (decoded to
// UTF-8), numbers (kept as written), booleans and null. Nested objects and
// arrays are checked and skipped. Every size is a limit the caller passes.
//
// Errors are a JsonError and a reason that names what was wrong and at
// which byte; a reason never quotes the input, because the input may hold a
// token or a private key.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

struct JsonLimits {
    std::size_t maxBytes = 64 * 1024;      // the whole text
    std::size_t maxDepth = 16;             // the top-level object is depth 1
    std::size_t maxMembers = 256;          // members of each object, elements of each array
    std::size_t maxStringBytes = 16 * 1024;  // each decoded string, member names included
};

enum class JsonError {
    None,
    TooLarge,           // the text is longer than maxBytes
    NotAnObject,        // the text is not one object ("[]", "3", "")
    Syntax,             // any other break of the grammar
    TooDeep,            // nesting beyond maxDepth
    TooManyMembers,     // an object or array beyond maxMembers
    StringTooLong,      // a string beyond maxStringBytes
    BadEscape,          // an unknown escape, a bad \u, a lone surrogate
    BadUtf8,            // bytes that are not UTF-8, or a raw control character in a string
    DuplicateMember,    // two top-level members of one name: refused, as either could be meant
    TrailingText,       // anything but white space after the object
};

enum class JsonKind { String, Number, Boolean, Null, Object, Array };

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    // String: the decoded bytes; Number: the text as written ("-1.5e3");
    // Boolean: "true" or "false"; Null: "null"; Object and Array: empty
    // (their content is checked but not kept).
    std::string text;
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

class JsonObject {
public:
    // The member of that name (exact bytes), or null.
    const JsonValue* find(std::string_view name) const;
    // The member's decoded text when it is a string; empty when it is
    // missing or of another kind.
    std::optional<std::string> string(std::string_view name) const;
    // A number written as plain decimal digits (no sign, fraction or
    // exponent) that fits 63 bits; empty for anything else.
    std::optional<std::int64_t> nonNegativeInteger(std::string_view name) const;

    const std::vector<JsonMember>& members() const { return members_; }
    std::vector<JsonMember>& members() { return members_; }

private:
    std::vector<JsonMember> members_;
};

struct JsonResult {
    JsonError error = JsonError::Syntax;
    std::string reason;  // empty when error is None
    JsonObject object;
    bool ok() const { return error == JsonError::None; }
};

// Reads one object, with white space around it allowed; a leading UTF-8
// byte order mark (as a text editor may save a key file) is skipped.
JsonResult readJsonObject(std::string_view text, const JsonLimits& limits);

// The same digits rule as JsonObject::nonNegativeInteger, for a number's text.
std::optional<std::int64_t> jsonNonNegativeInteger(std::string_view numberText);

// True when the bytes are well-formed UTF-8 (no overlong form, no
// surrogate, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// A quoted JSON string: '"' and '\\' escaped, control characters as \n,
// \t... or \u00XX, everything else as it is. Bytes that are not UTF-8
// become U+FFFD, so the output is always valid JSON; a valid UTF-8 input
// reads back unchanged.
std::string jsonString(std::string_view utf8);

}  // namespace rvo
