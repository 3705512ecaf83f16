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

}  // namespace rvo
