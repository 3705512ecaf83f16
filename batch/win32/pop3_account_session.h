#pragma once
// The batch program's POP3 session for one account of import\accounts.ini,
// with the settings of default.cfg and the migration database next to the
// program.
#include <memory>

#include "engine/core/log/log_sink.h"
#include "engine/core/session/session_observer.h"
#include "batch/win32/run_tokens.h"
#include "engine/core/net/session_timings.h"
#include "engine/win32/pop3/pop3_active_obj.h"

namespace rvo {

// Reads the account's section and default.cfg now. With [OAUTH2] naming a
// mechanism the session signs in with a token from `tokens`; a section that
// cannot be used makes no session (null). `log` and `observer`
// must outlive the session.
std::unique_ptr<Pop3ActiveObj> makePop3AccountSession(int accountIndex, LogSink& log, SessionObserver* observer,
                                                      RunTokens& tokens, const SessionTimings& timings = {});

}  // namespace rvo
