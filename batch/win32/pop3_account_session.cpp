#include "batch/win32/pop3_account_session.h"

#include "batch/win32/account_record.h"
#include "batch/win32/default_cfg_model.h"
#include "engine/win32/db/data_model.h"
#include "engine/win32/log/file_finder.h"

namespace rvo {

namespace {

// A check with no database file: nothing is recorded as stored, and the
// file is not opened, since some drivers create a missing file on connecting.
class MissingDatabase : public MigrationDatabase {
public:
    explicit MissingDatabase(std::string path) : path_(std::move(path)) {}
    int registerServer(const std::string&) override { return 0; }
    int registerUser(const std::string&, int) override { return 0; }
    int recordUidl(int, int, const std::string&) override { return 0; }
    int serverId(const std::string&) override { return 0; }
    int userId(const std::string&, int) override { return 0; }
    int uidlId(int, int, const std::string&) override { return 0; }
    bool acceptsRecords(int) override { return false; }
    bool usable() const override { return false; }
    std::string name() const override { return path_; }
    std::string lastError() const override { return "the file does not exist"; }

private:
    std::string path_;
};

MigrationDatabaseOpener databaseOpener(LogSink& log, bool checkOnly) {
    const std::string path = migrationDatabasePath();
    if (checkOnly && !pathExists(path))
        return [path]() -> std::unique_ptr<MigrationDatabase> { return std::make_unique<MissingDatabase>(path); };
    return dataModelOpener(log, migrationConnectionText(path));
}

}  // namespace

std::unique_ptr<Pop3ActiveObj> makePop3AccountSession(int accountIndex, LogSink& log, SessionObserver* observer,
                                                      RunTokens& tokens, const SessionTimings& timings) {
    const AccountRecord record(accountIndex);
    const DefaultCfgModel config(log);
    if (!config.oauthProblem().empty()) {
        log.report(DefaultCfgModel::kLogName, config.oauthProblem() + ": the account is not migrated");
        return nullptr;
    }
    if (!config.pop3PortProblem().empty())
        log.report(DefaultCfgModel::kLogName, config.pop3PortProblem() + ": the account is not migrated");
    auto session = std::make_unique<Pop3ActiveObj>(
        config.settings(), record.values(), databaseOpener(log, config.settings().checkOnly),
        log, observer, timings);
    if (std::optional<TokenSignIn> signIn = tokens.signInFor(config)) session->useTokenSignIn(std::move(*signIn));
    return session;
}

}  // namespace rvo
