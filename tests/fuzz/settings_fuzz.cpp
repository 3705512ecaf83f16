// The settings values an administrator writes: exclusion lists, system
// folder names, mail paths, ports, account folders and the folder-name
// safety rule.
#include <cstdint>
#include <string>
#include <string_view>

#include "batch/core/account_rules.h"
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
    const std::string path = rvo::normaliseMailPath(rvo::resolveMailPath(text, "C:\\Program\\"));
    (void)rvo::mailPathFolders(path);
    (void)rvo::folderNameProblem(text);
    (void)rvo::readPortSetting("POP3_PORT", text, 110);
    rvo::AccountValues account;
    account.user = std::string(text.substr(0, size / 2));
    account.domain = std::string(text.substr(size / 2));
    (void)rvo::accountFolderProblem(account);
    return 0;
}
