#include "engine/core/settings/migration_settings.h"

#include <algorithm>

namespace rvo {

bool MigrationSettings::isExcluded(const std::string& folderName) const {
    // An empty entry comes from ";;" in a list; taken as a part of every
    // name it would exclude the whole mailbox.
    return std::any_of(excludedFolders.begin(), excludedFolders.end(), [&](const std::string& entry) {
        if (entry.empty()) return false;
        return excludeContained ? folderName.find(entry) != std::string::npos : entry == folderName;
    });
}

std::string_view stripOuterSeparators(std::string_view text) {
    if (!text.empty() && text.front() == ';') text.remove_prefix(1);
    if (!text.empty() && text.back() == ';') text.remove_suffix(1);
    return text;
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
