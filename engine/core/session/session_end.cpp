#include "engine/core/session/session_end.h"

namespace rvo {

std::string_view sessionEndText(SessionEnd end) {
    switch (end) {
        case SessionEnd::Completed: return "completed";
        case SessionEnd::AlreadyMigrated: return "the account is already migrated";
        case SessionEnd::ConnectionDropped: return "the connection dropped";
        case SessionEnd::Stalled: return "the server stopped answering";
        case SessionEnd::ByeBeforeLogout: return "the server closed the session before LOGOUT";
        case SessionEnd::Throttled: return "the server is throttling the account";
        case SessionEnd::TemporaryFailure: return "the server reported a temporary failure";
        case SessionEnd::ConnectRefused: return "the connection was refused";
        case SessionEnd::ConnectTimedOut: return "the connection timed out";
        case SessionEnd::LoginRefused: return "the server refused the sign-in";
        case SessionEnd::CertificateRefused: return "the server's certificate was refused";
        case SessionEnd::SettingsMistake: return "a setting or an account value is wrong";
        case SessionEnd::StoreWriteFailed: return "the store could not be written";
        case SessionEnd::DatabaseFailed: return "the migration database failed";
        case SessionEnd::ServerError: return "the server refused a command";
        case SessionEnd::Cancelled: return "the run was cancelled";
        case SessionEnd::Failed: break;
    }
    return "the session failed";
}

}  // namespace rvo
