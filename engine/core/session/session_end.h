#pragma once
// How a migration session ended: the error vocabulary of a whole session,
// as the controller and the run report see it. The sessions say it; what is
// worth another attempt is decided elsewhere (batch/core/retry_rule.h).
#include <string_view>

namespace rvo {

enum class SessionEnd {
    Completed,           // every message stored or recognised as stored
    AlreadyMigrated,     // Status 1: nothing to do
    ConnectionDropped,   // the peer closed or reset the connection mid-session
    Stalled,             // the server stopped answering and the session gave up
    ByeBeforeLogout,     // an untagged BYE before our LOGOUT
    Throttled,           // the server asked us to slow down
    TemporaryFailure,    // the server said "not now" (UNAVAILABLE, INUSE, SYS/TEMP)
    ConnectRefused,      // the connect was refused
    ConnectTimedOut,     // the connect did not complete in time
    LoginRefused,        // wrong password or account locked: retrying could lock it
    CertificateRefused,  // the server's certificate did not verify
    SettingsMistake,     // a setting or account value that cannot work (unsafe U or D)
    StoreWriteFailed,    // a message file or folder could not be written
    DatabaseFailed,      // the migration database could not be read or written
    ServerError,         // any other refusal from the server (a folder that cannot be selected...)
    Cancelled,           // Cancel or the close box
    Failed,              // anything not named above
};

// The reason in words, lower case, for log lines and the report:
// "the connection dropped".
std::string_view sessionEndText(SessionEnd end);

}  // namespace rvo
