#pragma once
// The batch program's IMAP4 session of one account of import\accounts.ini,
// with the settings of default.cfg.
#include <memory>

#include "engine/core/log/log_sink.h"
#include "engine/core/net/session_timings.h"
#include "engine/core/session/session_observer.h"
#include "engine/win32/imap/imap_active_obj.h"

namespace rvo {

// Reads section [accountIndex] and default.cfg (both next to the program)
// when called. Throws rvo::Exception when the program's string table lacks
// an entry the session needs.
std::unique_ptr<ImapActiveObj> makeImapAccountSession(int accountIndex, LogSink& log, SessionObserver* observer,
                                                      const SessionTimings& timings = {});

}  // namespace rvo
