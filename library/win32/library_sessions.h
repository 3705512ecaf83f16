#pragma once
// The library's sessions: the engine's IMAP4 and POP3 sessions with the
// library's values. What differs from the batch program is in the two kinds
// below and in the values LibraryContext hands over (settings from the
// call, the store directly under the destination path, the library's string
// table, the database beside the host program).
#include <memory>

#include "engine/core/net/session_kind.h"
#include "engine/win32/imap/imap_active_obj.h"
#include "engine/win32/pop3/pop3_active_obj.h"

namespace rvo {

class LibraryContext;

inline constexpr SessionKind kLibraryImapSessionKind{
    .objectName = "IMap2XRV Function",
    .eventOrder = kImapSessionKind.eventOrder,
    .lineEnd = kImapSessionKind.lineEnd,
    // A receive of 0 or -1 ends the session without a line.
    .logReceiveFailures = false,
    .catchLoopExceptions = kImapSessionKind.catchLoopExceptions,
    .closeEndsSession = kImapSessionKind.closeEndsSession,
    .connectWithoutExceptions = true,
    .unknownErrorText = kImapSessionKind.unknownErrorText,
    .keepSlashInFolderNames = true,
};

inline constexpr SessionKind kLibraryPop3SessionKind{
    .objectName = "Pop32XRV Function",
    .eventOrder = kPop3SessionKind.eventOrder,
    .lineEnd = kPop3SessionKind.lineEnd,
    .logReceiveFailures = kPop3SessionKind.logReceiveFailures,
    .catchLoopExceptions = kPop3SessionKind.catchLoopExceptions,
    .closeEndsSession = kPop3SessionKind.closeEndsSession,
    .connectWithoutExceptions = true,
    .unknownErrorText = kPop3SessionKind.unknownErrorText,
};

// The session of the call that `context` holds; the session reports its
// end to `observer`. Throws rvo::Exception when a string is missing.
std::unique_ptr<ImapActiveObj> makeLibraryImapSession(LibraryContext& context, SessionObserver& observer);
std::unique_ptr<Pop3ActiveObj> makeLibraryPop3Session(LibraryContext& context, SessionObserver& observer);

}  // namespace rvo
