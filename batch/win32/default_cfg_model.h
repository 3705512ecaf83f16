#pragma once
// The settings of a batch run, read from default.cfg next to the program.
#include <string>

#include "batch/core/run_settings.h"
#include "engine/core/auth/oauth_settings.h"
#include "engine/core/log/log_sink.h"
#include "engine/core/settings/migration_settings.h"

namespace rvo {

class DefaultCfgModel {
public:
    static constexpr const char* kLogName = "DefaultCfgModel Object";

    // Reads `path` (a missing file or key gives the defaults) and creates the
    // mail path's folders. An empty or relative MAIL_PATH is taken from the
    // folder of `path` (the program's folder), not from the current
    // directory. Never fails outward.
    DefaultCfgModel(LogSink& log, const std::string& path);
    // default.cfg next to the program.
    explicit DefaultCfgModel(LogSink& log);

    const MigrationSettings& settings() const { return settings_; }
    const std::string& sysFoldersText() const { return sysFoldersText_; }
    const std::string& excludeText() const { return excludeText_; }
    // Why IMAP_PORT or POP3_PORT cannot be used (the port is then 0, which
    // the sessions refuse); empty when it can.
    const std::string& imapPortProblem() const { return imapPortProblem_; }
    const std::string& pop3PortProblem() const { return pop3PortProblem_; }
    // [OAUTH2]: how accounts sign in with a bearer token; mechanism None
    // (passwords) when the section names none.
    const OAuthSettings& oauth() const { return oauth_; }
    // Why the [OAUTH2] section cannot be used (no account is then migrated:
    // falling back to passwords would only be refused); empty when it can.
    const std::string& oauthProblem() const { return oauthProblem_; }
    // Why CHECK_ONLY's value is not 0 or 1 (the run then only checks);
    // empty when it is. Not logged here: each session reads the settings
    // again, and the run says it once.
    const std::string& checkOnlyProblem() const { return checkOnlyProblem_; }
    // MAIL_PATH as written in the file; settings().mailPath is where it leads.
    const std::string& configuredMailPath() const { return configuredMailPath_; }
    bool isExcluded(const std::string& folderName) const;

    // PARALLEL and RETRIES of [CONFIG], each with why its value cannot be
    // used (not logged here: the run says it once).
    const ParallelSetting& parallel() const { return parallel_; }
    const RetriesSetting& retries() const { return retries_; }
    // PARALLEL, RETRIES or CHECK_ONLY is written in [CONFIG], even empty.
    bool runKeysWritten() const { return runKeysWritten_; }

    static std::string defaultPath();

private:
    LogSink& log_;
    MigrationSettings settings_;
    std::string sysFoldersText_;
    std::string excludeText_;
    std::string imapPortProblem_;
    std::string pop3PortProblem_;
    std::string configuredMailPath_;
    OAuthSettings oauth_;
    std::string oauthProblem_;
    std::string checkOnlyProblem_;
    ParallelSetting parallel_;
    RetriesSetting retries_;
    bool runKeysWritten_ = false;
};

}  // namespace rvo
