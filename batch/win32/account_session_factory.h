#pragma once
// Makes the migration session of one account of the list.
#include <memory>

#include "engine/core/log/log_sink.h"
#include "engine/core/session/session_observer.h"
#include "engine/win32/net/socket_session.h"

namespace rvo {

class AccountSessionFactory {
public:
    virtual ~AccountSessionFactory() = default;
    // The session for `protocol` (1 IMAP4, 2 POP3) of section [accountIndex];
    // it reads its own account record and settings. Null for any other protocol.
    virtual std::unique_ptr<SocketSession> create(int protocol, int accountIndex, LogSink& log,
                                                  SessionObserver* observer) = 0;
    // Once a run, before its first session: logs what all its sessions share
    // (where the store is).
    virtual void reportRunSettings(LogSink& log) { (void)log; }
    // Cancel: whatever the sessions wait on outside their connection (a
    // token command) is ended.
    virtual void cancelRun() {}
};

// The sessions of the batch program, with the program's settings files.
AccountSessionFactory& batchSessionFactory();

}  // namespace rvo
