#pragma once
// The settings of a batch run, read from default.cfg next to the program.
#include <string>

#include "engine/core/log/log_sink.h"
#include "engine/core/settings/migration_settings.h"

namespace rvo {

class DefaultCfgModel {
public:
    static constexpr const char* kLogName = "DefaultCfgModel Object";

    // Reads `path` (a missing file or key gives the defaults) and creates the
    // mail path's folders. Never fails outward.
    DefaultCfgModel(LogSink& log, const std::string& path);
    // default.cfg next to the program.
    explicit DefaultCfgModel(LogSink& log);

    const MigrationSettings& settings() const { return settings_; }
    const std::string& sysFoldersText() const { return sysFoldersText_; }
    const std::string& excludeText() const { return excludeText_; }
    bool isExcluded(const std::string& folderName) const;

    static std::string defaultPath();

private:
    LogSink& log_;
    MigrationSettings settings_;
    std::string sysFoldersText_;
    std::string excludeText_;
};

}  // namespace rvo
