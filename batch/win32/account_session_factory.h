#pragma once
// Makes the migration session of one account of the list.
#include <memory>

#include "engine/core/log/log_sink.h"
#include "engine/core/session/session_observer.h"
#include "engine/win32/net/socket_session.h"

namespace rvo {

// What the run's own keys say (PARALLEL, RETRIES, CHECK_ONLY); each one
// missing keeps the program's behaviour without it.
struct RunOptions {
    int parallel = 1;
    int retries = 0;
    bool checkOnly = false;
    // One of the keys is written in the settings: the run's log then ends
    // with its summary lines.
    bool keysWritten = false;
};

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
    // After reportRunSettings (which also logs why a run key's value cannot
    // be used): the run's keys.
    virtual RunOptions runOptions() const { return {}; }
    // Cancel: whatever the sessions wait on outside their connection (a
    // token command) is ended.
    virtual void cancelRun() {}
};

// The sessions of the batch program, with the program's settings files.
AccountSessionFactory& batchSessionFactory();

}  // namespace rvo
