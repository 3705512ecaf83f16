#include "batch/win32/pop3_account_session.h"

#include "batch/win32/account_record.h"
#include "batch/win32/default_cfg_model.h"
#include "engine/win32/db/data_model.h"

namespace rvo {

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
        config.settings(), record.values(), dataModelOpener(log, migrationConnectionText(migrationDatabasePath())),
        log, observer, timings);
    if (std::optional<TokenSignIn> signIn = tokens.signInFor(config)) session->useTokenSignIn(std::move(*signIn));
    return session;
}

}  // namespace rvo
