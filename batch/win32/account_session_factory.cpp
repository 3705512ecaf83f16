#include "batch/win32/account_session_factory.h"

#include "batch/win32/imap_account_session.h"
#include "batch/win32/pop3_account_session.h"
#include "engine/core/settings/migration_settings.h"

namespace rvo {

namespace {

class BatchSessionFactory : public AccountSessionFactory {
public:
    std::unique_ptr<SocketSession> create(int protocol, int accountIndex, LogSink& log,
                                          SessionObserver* observer) override {
        if (protocol == kProtocolImap) return makeImapAccountSession(accountIndex, log, observer);
        if (protocol == kProtocolPop3) return makePop3AccountSession(accountIndex, log, observer);
        return nullptr;
    }
};

}  // namespace

AccountSessionFactory& batchSessionFactory() {
    static BatchSessionFactory factory;
    return factory;
}

}  // namespace rvo
