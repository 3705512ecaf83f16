#include "engine/core/settings/migration_settings.h"

#include <algorithm>

namespace rvo {

bool MigrationSettings::isExcluded(const std::string& folderName) const {
    return std::find(excludedFolders.begin(), excludedFolders.end(), folderName) !=
           excludedFolders.end();
}

}  // namespace rvo
