#include "batch/win32/account_session_factory.h"

#include "batch/core/settings_rules.h"
#include "batch/win32/default_cfg_model.h"
#include "batch/win32/imap_account_session.h"
#include "batch/win32/pop3_account_session.h"
#include "batch/win32/run_tokens.h"
#include "engine/core/settings/migration_settings.h"

namespace rvo {

namespace {

class BatchSessionFactory : public AccountSessionFactory {
public:
    std::unique_ptr<SocketSession> create(int protocol, int accountIndex, LogSink& log,
                                          SessionObserver* observer) override {
        if (protocol == kProtocolImap) return makeImapAccountSession(accountIndex, log, observer, tokens_);
        if (protocol == kProtocolPop3) return makePop3AccountSession(accountIndex, log, observer, tokens_);
        return nullptr;
    }
    void cancelRun() override { tokens_.cancel(); }
    void reportRunSettings(LogSink& log) override {
        const DefaultCfgModel config(log);
        log.report(DefaultCfgModel::kLogName, storePlaceText(config.configuredMailPath(), config.settings().mailPath));
        // Once a run, here: every session reads the settings again.
        for (const std::string* problem :
             {&config.parallel().problem, &config.retries().problem, &config.checkOnlyProblem()})
            if (!problem->empty()) log.report(DefaultCfgModel::kLogName, *problem);
        options_.parallel = config.parallel().accounts;
        options_.retries = config.retries().retries;
        options_.checkOnly = config.settings().checkOnly;
        options_.keysWritten = config.runKeysWritten();
    }
    RunOptions runOptions() const override { return options_; }

private:
    // One token source for the run: a tenant's token serves every account.
    RunTokens tokens_;
    RunOptions options_;
};

}  // namespace

AccountSessionFactory& batchSessionFactory() {
    static BatchSessionFactory factory;
    return factory;
}

}  // namespace rvo
