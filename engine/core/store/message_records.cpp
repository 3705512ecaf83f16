#include "engine/core/store/message_records.h"

#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

// The next blank-separated field of `rest`; empty when there is none.
std::string_view takeField(std::string_view& rest) {
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos || blank == 0) return {};
    const std::string_view field = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    return field;
}

}  // namespace

std::string recordFileHeader() {
    return "# Written by the mail migration: which server message each .imap file here holds.\r\n"
           "# UIDVALIDITY UID file folder. Safe to delete; the next run then compares contents.\r\n";
}

std::string formatRecord(const MessageRecord& record) {
    std::string line = std::to_string(record.id.uidValidity);
    line += ' ';
    line += std::to_string(record.id.uid);
    line += ' ';
    line += record.fileName;
    line += ' ';
    line += record.id.folder;
    line += "\r\n";
    return line;
}

std::vector<MessageRecord> parseRecords(std::string_view text) {
    std::vector<MessageRecord> records;
    // What follows the last line feed is a line a crash cut short.
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n')) {
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty() || line.starts_with('#')) continue;
        std::string_view rest = line;
        const std::optional<std::uint32_t> validity = parsePositiveNumber(takeField(rest));
        const std::optional<std::uint32_t> uid = parsePositiveNumber(takeField(rest));
        const std::string_view file = takeField(rest);
        if (!validity || !uid || file.empty() || rest.empty()) continue;
        records.push_back({{std::string(rest), *validity, *uid}, std::string(file)});
    }
    return records;
}

}  // namespace rvo
