#include "engine/core/store/message_names.h"

#include <algorithm>
#include <cctype>

#include "engine/core/text/ascii.h"
#include "engine/core/text/format.h"

namespace rvo {

namespace {

// Characters before the dateHex with a four-digit counter: stamp, counter, flags field.
constexpr std::size_t kFourDigitPrefix = 14 + 4 + kMessageFlagsField.size();

bool endsWithIgnoringCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && equalsIgnoringCase(text.substr(text.size() - tail.size()), tail);
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Stamp and counter (at least 18 digits), flags field, dateHex as "%X" writes it.
bool isMessageStem(std::string_view stem) {
    const std::size_t flags = stem.find(kMessageFlagsField);
    if (flags == std::string_view::npos || flags < 18 || !allDigits(stem.substr(0, flags))) return false;
    const std::string_view hex = stem.substr(flags + kMessageFlagsField.size());
    return !hex.empty() && hex.size() <= 8 && hex[0] != '0' &&
           std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::string imapHeaderLine(std::string_view dateHex) {
    std::string line = "0000000000000000";
    line += dateHex;
    return line;
}

std::string messageFileName(const CivilTime& t, int counter, std::string_view dateHex) {
    std::string name;
    formatString(name, "%04d%02d%02d%02d%02d%02d%04d", t.year, t.month, t.day, t.hour, t.minute, t.second,
                 counter < 0 ? 0 : counter);
    name += kMessageFlagsField;
    name += dateHex;
    name += kMessageExtension;
    return name;
}

std::string messageFilePath(std::string_view folderDirectory, const CivilTime& localNow, int counter,
                            std::string_view dateHex) {
    std::string path(folderDirectory);
    path += '\\';
    path += messageFileName(localNow, counter, dateHex);
    return path;
}

std::string duplicatePattern(std::string_view folderDirectory, std::string_view dateHex) {
    std::string pattern(folderDirectory);
    pattern += "\\*";
    pattern += dateHex;
    pattern += kMessageExtension;
    return pattern;
}

bool isStoredMessageName(std::string_view fileName, std::string_view dateHex) {
    if (dateHex.empty() || !endsWithIgnoringCase(fileName, kMessageExtension)) return false;
    const std::string_view stem = fileName.substr(0, fileName.size() - kMessageExtension.size());
    if (!endsWithIgnoringCase(stem, dateHex)) return false;
    const std::string_view prefix = stem.substr(0, stem.size() - dateHex.size());
    if (prefix.size() == kFourDigitPrefix) return true;
    // A dateHex never starts with 0, so the flags field cannot borrow from it:
    // a file of another dateHex never passes this test.
    return prefix.size() > kFourDigitPrefix && prefix.ends_with(kMessageFlagsField) &&
           allDigits(prefix.substr(0, prefix.size() - kMessageFlagsField.size()));
}

std::array<std::string_view, 2> storedDateHexCandidates(std::string_view fileName) {
    std::array<std::string_view, 2> candidates{};
    if (!endsWithIgnoringCase(fileName, kMessageExtension)) return candidates;
    const std::string_view stem = fileName.substr(0, fileName.size() - kMessageExtension.size());
    if (stem.size() > kFourDigitPrefix) candidates[0] = stem.substr(kFourDigitPrefix);
    if (const std::size_t flags = stem.find(kMessageFlagsField); flags != std::string_view::npos) {
        candidates[1] = stem.substr(flags + kMessageFlagsField.size());
    }
    return candidates;
}

std::string temporaryFileName(std::string_view messageFileName) {
    std::string name(messageFileName);
    if (endsWithIgnoringCase(name, kMessageExtension)) name.resize(name.size() - kMessageExtension.size());
    name += kTemporaryExtension;
    return name;
}

std::string temporaryPattern(std::string_view folderDirectory) {
    std::string pattern(folderDirectory);
    pattern += "\\*";
    pattern += kTemporaryExtension;
    return pattern;
}

bool isTemporaryFileName(std::string_view fileName) {
    return endsWithIgnoringCase(fileName, kTemporaryExtension) &&
           isMessageStem(fileName.substr(0, fileName.size() - kTemporaryExtension.size()));
}

}  // namespace rvo
