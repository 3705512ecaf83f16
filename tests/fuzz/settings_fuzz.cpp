// The settings values an administrator writes: exclusion lists, system
// folder names, mail paths, ports, account folders and the folder-name
// safety rule. Each reader must keep its promise for any text, not only
// not crash: a safe folder name is one directory level that Windows keeps
// apart from every other, a port is usable or refused, a depth is within
// the window, and a path's folders all lie on the path.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "batch/core/account_rules.h"
#include "batch/core/settings_rules.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/store_layout.h"

namespace {

// Names the broken promise's line before stopping, so a finding says which one.
void requireAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "settings_fuzz: invariant at line %d broken\n", line);
    __builtin_trap();
}
#define require(condition) requireAt((condition), __LINE__)

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Windows opens the device, not a file, for these stems whatever the extension.
bool isDeviceName(std::string_view level) {
    std::string stem(level.substr(0, level.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (startsWith(stem, "COM") || startsWith(stem, "LPT")) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// What a name that passed the folder-name rule must never hold, level by level.
void checkSafeFolderName(std::string_view name, bool singleLevel) {
    require(!name.empty());
    require(name.find(':') == std::string_view::npos);
    if (singleLevel) require(name.find_first_of("\\/") == std::string_view::npos);
    require(name.front() != '\\' && name.front() != '/');
    std::string_view rest = name;
    for (;;) {
        const std::size_t sep = rest.find_first_of("\\/");
        const std::string_view level = rest.substr(0, sep);
        require(!level.empty() && level.size() <= 255);
        require(level != "." && level != "..");
        require(level.back() != '.' && level.back() != ' ');
        require(!isDeviceName(level));
        for (const char c : level) {
            require(static_cast<unsigned char>(c) >= 0x20);
            require(std::string_view("<>\"|?*").find(c) == std::string_view::npos);
        }
        if (sep == std::string_view::npos) break;
        rest.remove_prefix(sep + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    rvo::MigrationSettings settings;
    settings.excludedFolders = rvo::parseExcludedFolders(text);
    for (const std::string& entry : settings.excludedFolders) require(entry.find(';') == std::string::npos);
    settings.excludeContained = size % 2 == 1;
    const std::string half(text.substr(0, size / 2));
    if (half.empty() && !settings.excludeContained) {
        // An exact list excludes the empty name only if it names it, which
        // a list cannot: empty entries never match.
        require(!settings.isExcluded(half));
    }
    // An excluded name is excluded whatever surrounds it when entries are
    // parts of names, and an exact match is a match of a part too.
    if (settings.excludeContained && settings.isExcluded(half)) require(settings.isExcluded("x" + half + "x"));
    if (!settings.excludeContained && settings.isExcluded(half)) {
        settings.excludeContained = true;
        require(settings.isExcluded(half));
    }

    (void)rvo::parseSystemFolders(text);

    const rvo::PipelineDepth depth = rvo::parsePipelineDepth(text);
    require(depth.depth >= 1 && depth.depth <= rvo::kMaxPipelineDepth);
    if (!depth.problem.empty()) require(depth.depth == 1);

    const rvo::PortSetting port = rvo::readPortSetting("POP3_PORT", text, 110);
    if (port.problem.empty()) {
        require(port.port >= 1 && port.port <= 65535);
    } else {
        require(port.port == 0);
    }
    if (text.empty()) require(port.port == 110 && port.problem.empty());

    const std::string path = rvo::normaliseMailPath(rvo::resolveMailPath(text, "C:\\Program\\"));
    for (const std::string& folder : rvo::mailPathFolders(path)) {
        require(!folder.empty() && startsWith(path, folder));
    }

    if (!rvo::folderNameProblem(text)) checkSafeFolderName(text, false);
    if (!rvo::singleLevelNameProblem(text)) checkSafeFolderName(text, true);

    rvo::AccountValues account;
    account.user = half;
    account.domain = std::string(text.substr(size / 2));
    if (!rvo::accountFolderProblem(account)) {
        checkSafeFolderName(account.user, true);
        checkSafeFolderName(account.domain, true);
    }
    return 0;
}
