#include "batch/core/settings_rules.h"

namespace rvo {

namespace {
std::string_view stripOuterSeparators(std::string_view text) {
    if (!text.empty() && text.front() == ';') text.remove_prefix(1);
    if (!text.empty() && text.back() == ';') text.remove_suffix(1);
    return text;
}
}  // namespace

std::array<std::string, 4> parseSystemFolders(std::string_view text) {
    std::array<std::string, 4> names;
    if (text.empty()) return names;
    text = stripOuterSeparators(text);
    for (std::size_t i = 0; !text.empty(); ++i) {
        const std::size_t sep = text.find(';');
        if (sep == std::string_view::npos) {
            if (i == 3) names[3] = std::string(text);
            break;
        }
        if (i < 3) names[i] = std::string(text.substr(0, sep));
        text.remove_prefix(sep + 1);
    }
    return names;
}

std::vector<std::string> parseExcludedFolders(std::string_view text) {
    std::vector<std::string> list;
    if (text.empty()) return list;
    text = stripOuterSeparators(text);
    for (;;) {
        const std::size_t sep = text.find(';');
        list.emplace_back(text.substr(0, sep));
        if (sep == std::string_view::npos) break;
        text.remove_prefix(sep + 1);
    }
    return list;
}

std::string normaliseMailPath(std::string_view value) {
    std::string path(value);
    const std::size_t last = path.rfind('\\');
    if (last != std::string::npos && last + 1 != path.size()) path.push_back('\\');
    return path;
}

std::vector<std::string> mailPathFolders(std::string_view mailPath) {
    std::vector<std::string> folders;
    const std::size_t first = mailPath.find('\\');
    if (first == std::string_view::npos) return folders;
    std::string prefix(mailPath.substr(0, first + 1));
    std::string_view rest = mailPath.substr(first + 1);
    while (!rest.empty()) {
        const std::size_t sep = rest.find('\\');
        const std::string_view name = rest.substr(0, sep);
        prefix.append(name);
        folders.push_back(prefix);
        prefix.push_back('\\');
        if (sep == std::string_view::npos) break;
        rest.remove_prefix(sep + 1);
    }
    return folders;
}

}  // namespace rvo
