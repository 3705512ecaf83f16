// The settings values an administrator writes: exclusion lists, system
// folder names, mail paths and the folder-name safety rule.
#include <cstdint>
#include <string>
#include <string_view>

#include "batch/core/settings_rules.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/store_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    rvo::MigrationSettings settings;
    settings.excludedFolders = rvo::parseExcludedFolders(text);
    settings.excludeContained = size % 2 == 1;
    (void)settings.isExcluded(std::string(text.substr(0, size / 2)));
    (void)rvo::parseSystemFolders(text);
    (void)rvo::parsePipelineDepth(text);
    const std::string path = rvo::normaliseMailPath(text);
    (void)rvo::mailPathFolders(path);
    (void)rvo::folderNameProblem(text);
    return 0;
}
