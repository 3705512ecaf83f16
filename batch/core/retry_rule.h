#pragma once
// Why a session ended, which endings are worth another attempt, and how long
// the account waits before it. Portable: the controller hands in what the
// session saw (its ending and the server's last refusal line) and gets back
// a decision and the log text; the waiting itself, and cutting it short on
// Cancel, belong to the shell.
//
// The vocabulary is SessionEnd (engine/core/session/session_end.h), the
// sessions' own word for how they ended.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/session/session_end.h"

namespace rvo {

// Whether another attempt may help. Only endings that say "not now" are
// retried. A refused sign-in never is (repeating a wrong password can lock
// the account), nor a refused certificate, a settings mistake, a failed
// write to the store or the database (the next attempt would fail the same
// way, or worse), a server error we do not understand, or Cancel.
bool isRetried(SessionEnd end);

// What a server's refusal line says about trying again.
struct ServerPushback {
    SessionEnd end = SessionEnd::TemporaryFailure;  // Throttled or TemporaryFailure
    // The wait the server suggests, when the line names one; already capped
    // at kLongestSuggestedWait so no text can make it overflow.
    std::optional<std::chrono::milliseconds> suggestedWait;
};
inline constexpr std::chrono::milliseconds kLongestSuggestedWait = std::chrono::hours(24);

// Recognises a throttling or temporary-failure answer in one response line
// (CR LF at the end or not):
//   IMAP tagged or untagged NO or BYE with [THROTTLED], [UNAVAILABLE] or
//   [INUSE]; the text "Request is throttled" with "Suggested Backoff Time: N
//   milliseconds"; "Account exceeded command or bandwidth limits";
//   POP3 -ERR with [IN-USE] or [SYS/TEMP].
// Response codes and texts are matched ignoring ASCII case. Lines that are
// not NO, BYE or -ERR (an OK that mentions throttling, a message body) and
// every other refusal give nothing: the caller keeps its own reading of
// them, which is never retried. A code of a refused sign-in
// ([AUTHENTICATIONFAILED], [CONTACTADMIN], POP3 [AUTH]...) or [SYS/PERM]
// gives nothing even when its text speaks of throttling.
std::optional<ServerPushback> recogniseServerPushback(std::string_view line);

// The bounds of waiting; tests pass small ones.
struct RetryLimits {
    std::chrono::milliseconds firstWait = std::chrono::seconds(10);   // doubled for each further retry
    std::chrono::milliseconds longestWait = std::chrono::minutes(5);  // cap of the doubling
    std::chrono::milliseconds longestSuggestedWait = std::chrono::minutes(15);  // cap of a server's suggestion
};

// The wait before retry number `retry` (1 for the first): the server's
// suggestion when there is one, at most longestSuggestedWait; otherwise
// firstWait doubled for each retry after the first, at most longestWait.
std::chrono::milliseconds retryWait(const RetryLimits& limits, int retry,
                                    std::optional<std::chrono::milliseconds> suggested);

// Whether the account gets retry number `retry` after `end`, with the
// RETRIES value `allowed`.
bool mayRetry(SessionEnd end, int retry, int allowed);

// "Retry 2 of 3 for account [4] (alice) in 20 s: the connection dropped".
// A wait that is not whole seconds is given in milliseconds ("in 1500 ms").
// The user name is cut and cleaned as in account tags (account_naming.h).
std::string retryLogText(int retry, int allowed, int section, std::string_view user, std::chrono::milliseconds wait,
                         SessionEnd reason);

}  // namespace rvo
