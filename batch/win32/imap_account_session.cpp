#include "batch/win32/imap_account_session.h"

#include "batch/win32/account_record.h"
#include "batch/win32/default_cfg_model.h"

namespace rvo {

std::unique_ptr<ImapActiveObj> makeImapAccountSession(int accountIndex, LogSink& log, SessionObserver* observer,
                                                      RunTokens& tokens, const SessionTimings& timings) {
    const AccountRecord account(accountIndex);
    const DefaultCfgModel config(log);
    if (!config.oauthProblem().empty()) {
        log.report(DefaultCfgModel::kLogName, config.oauthProblem() + ": the account is not migrated");
        return nullptr;
    }
    if (!config.imapPortProblem().empty())
        log.report(DefaultCfgModel::kLogName, config.imapPortProblem() + ": the account is not migrated");
    auto session = std::make_unique<ImapActiveObj>(config.settings(), account.values(), log, observer, timings);
    if (std::optional<TokenSignIn> signIn = tokens.signInFor(config)) session->useTokenSignIn(std::move(*signIn));
    return session;
}

}  // namespace rvo
