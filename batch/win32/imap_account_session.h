#pragma once
// The batch program's IMAP4 session of one account of import\accounts.ini,
// with the settings of default.cfg.
#include <memory>

#include "engine/core/log/log_sink.h"
#include "engine/core/net/session_timings.h"
#include "engine/core/session/session_observer.h"
#include "batch/win32/run_tokens.h"
#include "engine/win32/imap/imap_active_obj.h"

namespace rvo {

// Reads section [accountIndex] and default.cfg (both next to the program)
// when called. With [OAUTH2] naming a mechanism the session signs in with a
// token from `tokens`; a section that cannot be used makes no session (null). Throws rvo::Exception when the program's string table lacks
// an entry the session needs.
std::unique_ptr<ImapActiveObj> makeImapAccountSession(int accountIndex, LogSink& log, SessionObserver* observer,
                                                      RunTokens& tokens, const SessionTimings& timings = {});

}  // namespace rvo
