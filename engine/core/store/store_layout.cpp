#include "engine/core/store/store_layout.h"

#include <algorithm>
#include <cctype>

#include "engine/core/text/ascii.h"
#include "engine/core/text/format.h"

namespace rvo {

namespace {

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::size_t findSeparator(std::string_view text, LevelSplit split) {
    return split == LevelSplit::kBackslashAndSlash ? text.find_first_of("\\/") : text.find('\\');
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9, also with an extension ("nul.txt").
// Windows takes the superscript digits one to three as port numbers too:
// "COM\xB9" in the ANSI code page, and in their UTF-8 form, which a server
// sends and the name may keep.
bool isDeviceName(std::string_view level) {
    std::string_view base = level.substr(0, level.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (equalsIgnoringCase(base, device)) return true;
    }
    if (base.size() < 4) return false;
    if (!equalsIgnoringCase(base.substr(0, 3), "COM") && !equalsIgnoringCase(base.substr(0, 3), "LPT")) return false;
    const std::string_view port = base.substr(3);
    if (port.size() == 1 && port[0] >= '0' && port[0] <= '9') return true;
    for (std::string_view superscript : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
        if (port == superscript) return true;
    }
    return false;
}

std::optional<std::string> levelProblem(std::string_view level) {
    std::string why;
    if (level.empty()) return "it has an empty level";
    if (level == "." || level == "..") {
        formatString(why, "it has a \"%.*s\" level", static_cast<int>(level.size()), level.data());
        return why;
    }
    if (level.size() > 255) return "it has a level longer than 255 characters";
    if (level.back() == '.' || level.back() == ' ') {
        formatString(why, "its level \"%.*s\" ends in a dot or blank, which Windows drops",
                     static_cast<int>(level.size()), level.data());
        return why;
    }
    if (isDeviceName(level)) {
        formatString(why, "its level \"%.*s\" is a device name reserved by Windows", static_cast<int>(level.size()),
                     level.data());
        return why;
    }
    return std::nullopt;
}

}  // namespace

StoreLayout StoreLayout::forAccount(std::string_view mailPath, std::string_view domain, std::string_view user) {
    std::string prefix(mailPath);
    prefix += domain;
    prefix += '\\';
    prefix += user;
    prefix += '\\';
    return StoreLayout(std::move(prefix));
}

StoreLayout StoreLayout::forDestination(std::string_view destination) { return StoreLayout(std::string(destination)); }

std::string StoreLayout::folderDirectory(std::string_view localFolderName) const {
    std::string path = prefix_;
    path += localFolderName;
    return path;
}

std::vector<std::string> directoriesToCreate(std::string_view path, LevelSplit split) {
    std::vector<std::string> out;
    // Each prefix that ends a level, split at the first separator of either
    // kind, so a "\\" after a "/" never asks for a level whose parent is missing.
    for (std::size_t start = 0;;) {
        const std::size_t found = findSeparator(path.substr(start), split);
        if (found == std::string_view::npos) break;
        const std::string_view level = path.substr(0, start + found);
        start += found + 1;
        if (found == 0) continue;  // an empty level, or the root in "\\..."
        if (level.size() == 2 && level[1] == ':' && isDriveLetter(level[0])) continue;
        out.emplace_back(level);
    }
    if (!path.empty()) out.emplace_back(path);
    return out;
}

std::optional<std::string> folderNameProblem(std::string_view name) {
    if (name.empty()) return "the name is empty";
    if (name[0] == '\\' || name[0] == '/') return "it starts at the root of a drive";
    if (name.size() >= 2 && name[1] == ':' && isDriveLetter(name[0])) return "it starts with a drive";
    std::string why;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
            formatString(why, "it holds the control character 0x%02X, which Windows does not allow in file names",
                         byte);
            return why;
        }
        if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos) {
            formatString(why, "it holds the character '%c', which Windows does not allow in file names", c);
            return why;
        }
    }
    std::string_view rest = name;
    for (;;) {
        const std::size_t end = rest.find_first_of("\\/");
        if (auto problem = levelProblem(rest.substr(0, end))) return problem;
        if (end == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(end + 1);
    }
}

std::optional<std::string> singleLevelNameProblem(std::string_view name) {
    // The root and drive forms keep their own, clearer, words.
    if (auto problem = folderNameProblem(name)) return problem;
    if (name.find_first_of("\\/") != std::string_view::npos) return "it holds a path separator";
    return std::nullopt;
}

std::string localFolderName(std::string_view serverFolderName, const SystemFolderNames& serverNames,
                            const SystemFolderNames& localNames) {
    std::string name(serverFolderName);
    for (std::size_t i = 0; i < serverNames.size(); ++i) {
        if (!serverNames[i].empty() && equalsIgnoringCase(name, serverNames[i])) name = localNames[i];
    }
    return name;
}

}  // namespace rvo
