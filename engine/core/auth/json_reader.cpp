#include "engine/core/auth/json_reader.h"

#include <utility>

#include "engine/core/text/format.h"

namespace rvo {
namespace {

// Length of the UTF-8 sequence at the start of `bytes`, or 0 when it is not
// a well-formed one.
std::size_t utf8SequenceLength(std::string_view bytes) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length) return 0;
    if (b(1) < low || b(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return length;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

class Parser {
public:
    Parser(std::string_view text, const JsonLimits& limits) : text_(text), limits_(limits) {}

    JsonResult run() {
        JsonResult result;
        if (text_.size() > limits_.maxBytes) {
            fail(JsonError::TooLarge, "is longer than the limit");
            return finish(std::move(result));
        }
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
        skipSpace();
        if (atEnd() || text_[pos_] != '{') {
            fail(JsonError::NotAnObject, "is not an object");
            return finish(std::move(result));
        }
        readTopObject(result.object);
        if (error_ == JsonError::None) {
            skipSpace();
            if (!atEnd()) fail(JsonError::TrailingText, "has more after the object");
        }
        return finish(std::move(result));
    }

private:
    JsonResult finish(JsonResult result) {
        result.error = error_;
        if (error_ == JsonError::None) {
            result.reason.clear();
        } else {
            result.reason = std::string("JSON text ") + what_ + " (at byte " + std::to_string(pos_) + ")";
            result.object = JsonObject();
        }
        return result;
    }

    bool fail(JsonError error, const char* what) {
        if (error_ == JsonError::None) {
            error_ = error;
            what_ = what;
        }
        return false;
    }

    bool atEnd() const { return pos_ >= text_.size(); }

    void skipSpace() {
        while (!atEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool expect(char c) {
        skipSpace();
        if (atEnd() || text_[pos_] != c) return fail(JsonError::Syntax, "breaks the grammar");
        ++pos_;
        return true;
    }

    void readTopObject(JsonObject& object) {
        ++pos_;  // '{'
        skipSpace();
        if (!atEnd() && text_[pos_] == '}') {
            ++pos_;
            return;
        }
        while (true) {
            if (object.members().size() >= limits_.maxMembers) {
                fail(JsonError::TooManyMembers, "has more members than the limit");
                return;
            }
            skipSpace();
            JsonMember member;
            if (atEnd() || text_[pos_] != '"') {
                fail(JsonError::Syntax, "breaks the grammar");
                return;
            }
            if (!readString(&member.name)) return;
            if (object.find(member.name) != nullptr) {
                fail(JsonError::DuplicateMember, "names a member twice");
                return;
            }
            if (!expect(':')) return;
            skipSpace();
            if (!readValue(member.value)) return;
            object.members().push_back(std::move(member));
            skipSpace();
            if (atEnd()) {
                fail(JsonError::Syntax, "ends inside the object");
                return;
            }
            if (text_[pos_] == '}') {
                ++pos_;
                return;
            }
            if (text_[pos_] != ',') {
                fail(JsonError::Syntax, "breaks the grammar");
                return;
            }
            ++pos_;
        }
    }

    // A value of a top-level member: scalars are kept, containers skipped.
    bool readValue(JsonValue& value) {
        if (atEnd()) return fail(JsonError::Syntax, "ends where a value belongs");
        const char c = text_[pos_];
        if (c == '"') {
            value.kind = JsonKind::String;
            return readString(&value.text);
        }
        if (c == '{' || c == '[') {
            value.kind = c == '{' ? JsonKind::Object : JsonKind::Array;
            return skipContainer();
        }
        return readScalar(value);
    }

    bool readScalar(JsonValue& value) {
        for (const auto& [word, kind] : {std::pair<std::string_view, JsonKind>{"true", JsonKind::Boolean},
                                         {"false", JsonKind::Boolean},
                                         {"null", JsonKind::Null}}) {
            if (text_.substr(pos_, word.size()) == word) {
                pos_ += word.size();
                value.kind = kind;
                value.text = word;
                return true;
            }
        }
        value.kind = JsonKind::Number;
        return readNumber(&value.text);
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool readNumber(std::string* out) {
        const std::size_t start = pos_;
        const auto digits = [&] {
            const std::size_t from = pos_;
            while (!atEnd() && isDigit(text_[pos_])) ++pos_;
            return pos_ > from;
        };
        if (!atEnd() && text_[pos_] == '-') ++pos_;
        if (!atEnd() && text_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            return fail(JsonError::Syntax, "breaks the grammar");
        }
        if (!atEnd() && text_[pos_] == '.') {
            ++pos_;
            if (!digits()) return fail(JsonError::Syntax, "has a number without digits after its point");
        }
        if (!atEnd() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (!atEnd() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (!digits()) return fail(JsonError::Syntax, "has a number without digits in its exponent");
        }
        if (pos_ - start > limits_.maxStringBytes) return fail(JsonError::StringTooLong, "has a number longer than the limit");
        if (out) out->assign(text_.substr(start, pos_ - start));
        return true;
    }

    bool readHex4(std::uint32_t& value) {
        if (text_.size() - pos_ < 4) return fail(JsonError::BadEscape, "has a short \\u escape");
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') value |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return fail(JsonError::BadEscape, "has a \\u escape that is not hexadecimal");
        }
        return true;
    }

    // At the opening quote. `out` may be null: checked, not kept (but still bounded).
    bool readString(std::string* out) {
        ++pos_;
        std::size_t length = 0;
        const auto add = [&](std::string_view bytes) {
            length += bytes.size();
            if (length > limits_.maxStringBytes) return fail(JsonError::StringTooLong, "has a string longer than the limit");
            if (out) out->append(bytes);
            return true;
        };
        while (true) {
            if (atEnd()) return fail(JsonError::Syntax, "ends inside a string");
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return fail(JsonError::BadUtf8, "has a control character inside a string");
            if (c != '\\') {
                const std::size_t n = utf8SequenceLength(text_.substr(pos_));
                if (n == 0) return fail(JsonError::BadUtf8, "has bytes that are not UTF-8");
                if (!add(text_.substr(pos_, n))) return false;
                pos_ += n;
                continue;
            }
            ++pos_;
            if (atEnd()) return fail(JsonError::Syntax, "ends inside a string");
            const char e = text_[pos_++];
            std::string decoded;
            switch (e) {
                case '"': decoded = "\""; break;
                case '\\': decoded = "\\"; break;
                case '/': decoded = "/"; break;
                case 'b': decoded = "\b"; break;
                case 'f': decoded = "\f"; break;
                case 'n': decoded = "\n"; break;
                case 'r': decoded = "\r"; break;
                case 't': decoded = "\t"; break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!readHex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(JsonError::BadEscape, "has a lone low surrogate");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low = 0;
                        if (text_.substr(pos_, 2) != "\\u") return fail(JsonError::BadEscape, "has a lone high surrogate");
                        pos_ += 2;
                        if (!readHex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return fail(JsonError::BadEscape, "has a lone high surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    appendUtf8(decoded, cp);
                    break;
                }
                default:
                    return fail(JsonError::BadEscape, "has an unknown escape");
            }
            if (!add(decoded)) return false;
        }
    }

    // At '{' or '[' of a member's value; depth 2. Walks the nesting with an
    // explicit stack, so the limit bounds memory rather than the call stack.
    bool skipContainer() {
        struct Level {
            char closer;
            std::size_t count;
        };
        std::vector<Level> stack;
        bool justOpened = false;
        const auto open = [&]() {
            // The top-level object is depth 1.
            if (stack.size() + 2 > limits_.maxDepth) return fail(JsonError::TooDeep, "nests deeper than the limit");
            stack.push_back({text_[pos_] == '{' ? '}' : ']', 0});
            ++pos_;
            justOpened = true;
            return true;
        };
        if (!open()) return false;
        while (true) {
            skipSpace();
            if (atEnd()) return fail(JsonError::Syntax, "ends inside a nested value");
            Level& top = stack.back();
            const char c = text_[pos_];
            if (c == top.closer) {
                ++pos_;
                stack.pop_back();
                if (stack.empty()) return true;
                justOpened = false;
                continue;
            }
            if (!justOpened) {
                if (c != ',') return fail(JsonError::Syntax, "breaks the grammar");
                ++pos_;
                skipSpace();
                if (atEnd()) return fail(JsonError::Syntax, "ends inside a nested value");
            }
            justOpened = false;
            if (++top.count > limits_.maxMembers)
                return fail(JsonError::TooManyMembers, "has more members than the limit");
            if (top.closer == '}') {
                if (text_[pos_] != '"') return fail(JsonError::Syntax, "breaks the grammar");
                if (!readString(nullptr)) return false;
                if (!expect(':')) return false;
                skipSpace();
                if (atEnd()) return fail(JsonError::Syntax, "ends where a value belongs");
            }
            const char v = text_[pos_];
            if (v == '{' || v == '[') {
                if (!open()) return false;
                continue;
            }
            if (v == '"') {
                if (!readString(nullptr)) return false;
            } else {
                JsonValue ignored;
                if (!readScalar(ignored)) return false;
            }
        }
    }

    std::string_view text_;
    const JsonLimits& limits_;
    std::size_t pos_ = 0;
    JsonError error_ = JsonError::None;
    const char* what_ = "";
};

}  // namespace

const JsonValue* JsonObject::find(std::string_view name) const {
    for (const JsonMember& m : members_)
        if (m.name == name) return &m.value;
    return nullptr;
}

std::optional<std::string> JsonObject::string(std::string_view name) const {
    const JsonValue* v = find(name);
    if (v == nullptr || v->kind != JsonKind::String) return std::nullopt;
    return v->text;
}

std::optional<std::int64_t> JsonObject::nonNegativeInteger(std::string_view name) const {
    const JsonValue* v = find(name);
    if (v == nullptr || v->kind != JsonKind::Number) return std::nullopt;
    return jsonNonNegativeInteger(v->text);
}

std::optional<std::int64_t> jsonNonNegativeInteger(std::string_view numberText) {
    if (numberText.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : numberText) {
        if (!isDigit(c)) return std::nullopt;
        const int digit = c - '0';
        if (value > (INT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

JsonResult readJsonObject(std::string_view text, const JsonLimits& limits) { return Parser(text, limits).run(); }

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = utf8SequenceLength(bytes.substr(i));
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20) formatString(out, "\\u%04x", c);
                    else out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const std::size_t n = utf8SequenceLength(utf8.substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(utf8.substr(i, n));
            i += n;
        }
    }
    out += '"';
    return out;
}

}  // namespace rvo
