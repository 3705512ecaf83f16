#include "batch/win32/imap_account_session.h"

#include "batch/win32/account_record.h"
#include "batch/win32/default_cfg_model.h"

namespace rvo {

std::unique_ptr<ImapActiveObj> makeImapAccountSession(int accountIndex, LogSink& log, SessionObserver* observer,
                                                      const SessionTimings& timings) {
    const AccountRecord account(accountIndex);
    const DefaultCfgModel config(log);
    if (!config.imapPortProblem().empty())
        log.report(DefaultCfgModel::kLogName, config.imapPortProblem() + ": the account is not migrated");
    return std::make_unique<ImapActiveObj>(config.settings(), account.values(), log, observer, timings);
}

}  // namespace rvo
