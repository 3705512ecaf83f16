#include "batch/core/account_naming.h"

#include "engine/core/log/log_format.h"

namespace rvo {

std::string taggedUserName(std::string_view user) {
    const bool cut = user.size() > kTaggedUserMax;
    if (cut) user = user.substr(0, kTaggedUserMax);
    std::string out;
    out.reserve(user.size() + 3);
    for (const char c : user) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(byte < 0x20 || byte == 0x7F || c == ']' ? '?' : c);
    }
    if (cut) out.append("...");
    return out;
}

std::string accountTag(int parallel, int section, std::string_view user) {
    if (parallel <= 1) return {};
    std::string tag = "[";
    tag.append(std::to_string(section));
    tag.push_back(' ');
    tag.append(taggedUserName(user));
    tag.push_back(']');
    return tag;
}

std::string taggedReportText(std::string_view objectName, std::string_view tag, std::string_view text) {
    if (tag.empty()) return reportText(objectName, text);
    std::string line;
    line.reserve(objectName.size() + tag.size() + text.size() + 2);
    line.append(objectName);
    line.push_back(' ');
    line.append(tag);
    line.push_back(' ');
    line.append(text);
    return line;
}

std::string applyAccountTag(std::string_view reportLine, std::string_view objectName, std::string_view tag) {
    if (tag.empty()) return std::string(reportLine);
    const bool named = !objectName.empty() && reportLine.substr(0, objectName.size()) == objectName &&
                       (reportLine.size() == objectName.size() || reportLine[objectName.size()] == ' ');
    if (!named) return std::string(tag) + " " + std::string(reportLine);
    std::string_view text = reportLine.substr(objectName.size());
    if (!text.empty()) text.remove_prefix(1);
    return taggedReportText(objectName, tag, text);
}

void TaggedLogSink::report(std::string_view objectName, std::string_view text) {
    // The sink writes the object's name, a blank and the text: the tag goes first in the text.
    if (tag_.empty()) {
        inner_.report(objectName, text);
        return;
    }
    std::string tagged;
    tagged.reserve(tag_.size() + 1 + text.size());
    tagged.append(tag_);
    tagged.push_back(' ');
    tagged.append(text);
    inner_.report(objectName, tagged);
}

}  // namespace rvo
