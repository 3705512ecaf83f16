#include "batch/win32/default_cfg_model.h"

#include <windows.h>

#include "batch/core/run_settings.h"
#include "batch/core/settings_rules.h"
#include "batch/win32/profile.h"
#include "engine/win32/log/file_finder.h"
#include "engine/win32/platform/module_path.h"

namespace rvo {

namespace {
constexpr const char* kUnknownError = "Unknown Error in DefaultCfgModel";

// The folder of the settings file, with its backslash; the program's folder
// for a bare file name.
std::string directoryOf(const std::string& path) {
    const std::size_t last = path.find_last_of("\\/");
    return last == std::string::npos ? moduleDirectory() : path.substr(0, last + 1);
}
}  // namespace

std::string DefaultCfgModel::defaultPath() { return moduleDirectory() + "default.cfg"; }

DefaultCfgModel::DefaultCfgModel(LogSink& log) : DefaultCfgModel(log, defaultPath()) {}

DefaultCfgModel::DefaultCfgModel(LogSink& log, const std::string& path) : log_(log) {
    const Profile file(path);
    settings_.serverAddress = file.readString("SOURCE_SERVER", "NAME_IP", "127.0.0.1");
    // Read before the ports: with TLS their defaults are 993 and 995.
    settings_.security = parseConnectionSecurity(file.readString("SOURCE_SERVER", "SECURITY", ""),
                                                 file.readString("SOURCE_SERVER", "CA_FILE", ""));
    const PortSetting imap = readPortSetting("IMAP_PORT", file.readString("SOURCE_SERVER", "IMAP_PORT", ""),
                                             defaultImapPort(settings_.security.mode));
    const PortSetting pop3 = readPortSetting("POP3_PORT", file.readString("SOURCE_SERVER", "POP3_PORT", ""),
                                             defaultPop3Port(settings_.security.mode));
    settings_.imapPort = imap.port;
    imapPortProblem_ = imap.problem;
    settings_.pop3Port = pop3.port;
    pop3PortProblem_ = pop3.problem;
    settings_.markDeleted = file.readInt("CONFIG", "MARK_DELETED", 0);
    settings_.migrateDeleted = file.readInt("CONFIG", "MIGRATE_DELETED", 0);
    settings_.createEmpty = file.readInt("CONFIG", "CREATE_EMPTY", 0);
    const std::string pipeline = file.readString("CONFIG", "PIPELINE", "");
    {
        // No value read from a file holds this byte: it tells a missing key from an empty one.
        constexpr const char* kMissing = "\x01";
        const std::string parallel = file.readString("CONFIG", "PARALLEL", kMissing);
        const std::string retries = file.readString("CONFIG", "RETRIES", kMissing);
        const std::string checkOnly = file.readString("CONFIG", "CHECK_ONLY", kMissing);
        runKeysWritten_ = parallel != kMissing || retries != kMissing || checkOnly != kMissing;
        parallel_ = parseParallel(parallel == kMissing ? "" : parallel);
        retries_ = parseRetries(retries == kMissing ? "" : retries);
        const CheckOnlySetting check = parseCheckOnly(checkOnly == kMissing ? "" : checkOnly);
        settings_.checkOnly = check.checkOnly;
        checkOnlyProblem_ = check.problem;
    }
    configuredMailPath_ = file.readString("CONFIG", "MAIL_PATH", "");
    sysFoldersText_ = file.readString("CONFIG", "SYS_FOLDERS", "");
    excludeText_ = file.readString("EXCLUDE_FOLDERS", "EXCLUDE", "");
    OAuthSettingsText oauth;
    oauth.mechanism = file.readString("OAUTH2", "MECHANISM", "");
    oauth.tokenSource = file.readString("OAUTH2", "TOKEN_SOURCE", "");
    oauth.tenant = file.readString("OAUTH2", "TENANT", "");
    oauth.clientId = file.readString("OAUTH2", "CLIENT_ID", "");
    oauth.clientSecret = file.readString("OAUTH2", "CLIENT_SECRET", "");
    oauth.keyFile = file.readString("OAUTH2", "KEY_FILE", "");
    oauth.tokenCommand = file.readString("OAUTH2", "TOKEN_COMMAND", "");
    oauth.tokenUrl = file.readString("OAUTH2", "TOKEN_URL", "");
    oauth.scope = file.readString("OAUTH2", "SCOPE", "");
    // Until the section is read through, a mechanism named there keeps passwords from being sent.
    if (oauth.mechanism.find_first_not_of(" \t") != std::string::npos)
        oauthProblem_ = "The [OAUTH2] section could not be read";
    try {
        OAuthSettingsResult parsed = parseOAuthSettings(oauth);
        oauth_ = std::move(parsed.settings);
        // A relative key file lies beside the settings, as a relative MAIL_PATH does.
        if (!oauth_.keyFile.empty()) oauth_.keyFile = resolveMailPath(oauth_.keyFile, directoryOf(path));
        oauthProblem_ = std::move(parsed.problem);
        const PipelineDepth depth = parsePipelineDepth(pipeline);
        settings_.pipelineDepth = depth.depth;
        if (!depth.problem.empty()) log_.report(kLogName, depth.problem);
        settings_.mailPath = normaliseMailPath(resolveMailPath(configuredMailPath_, directoryOf(path)));
        settings_.systemFolderNames = parseSystemFolders(sysFoldersText_);
        settings_.excludedFolders = parseExcludedFolders(excludeText_);
        // Results are not checked here: a folder that cannot be made shows
        // up when the first message is written into it. A check leaves the
        // store as it finds it.
        if (!settings_.checkOnly) {
            for (const std::string& folder : mailPathFolders(settings_.mailPath)) {
                if (!pathExists(folder)) CreateDirectoryA(folder.c_str(), nullptr);
            }
        }
    } catch (...) {
        log_.report(kLogName, kUnknownError);
    }
}

bool DefaultCfgModel::isExcluded(const std::string& folderName) const {
    try {
        return settings_.isExcluded(folderName);
    } catch (...) {
        log_.report(kLogName, kUnknownError);
        return false;
    }
}

}  // namespace rvo
