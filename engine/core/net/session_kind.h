#pragma once
// What tells the mail sessions apart: the batch program's and the library's
// IMAP4 and POP3 sessions run the same event loop and the same dialogues,
// and differ only in these values. Each kind is written with its fields
// named, so a reader can tell which quirk is which.
#include <array>
#include <string_view>

#include "engine/core/net/line_assembler.h"

namespace rvo {

enum class NetworkEventKind { Connect, Read, Close };

struct SessionKind {
    // Name of every log line; must outlive the session (a string literal).
    std::string_view objectName;
    // Handling order of the events reported by one wait.
    std::array<NetworkEventKind, 3> eventOrder;
    LineEnd lineEnd;
    // A receive of 0 or -1 is logged ("abruptly", "winsock error").
    bool logReceiveFailures = false;
    // An exception escaping the loop is logged with unknownErrorText right
    // there; otherwise it reaches the worker thread's top handler.
    bool catchLoopExceptions = false;
    // closeConnection() also ends the session and logs instead of throwing.
    bool closeEndsSession = false;
    // Socket and connect failures are logged with their Winsock code instead
    // of raising an exception; an immediate connect failure is also shown.
    bool connectWithoutExceptions = false;
    std::string_view unknownErrorText;
    // Name of the lines about failed waits and time-outs; empty: objectName.
    std::string_view waitObjectName = {};
    // The connection procedure also logs "Created Socket" and "Retrieved
    // host information" as it passes them.
    bool logConnectSteps = false;
    // IMAP4: a folder name keeps its "/" whatever the server's delimiter
    // (then "/" makes a directory level); otherwise "/" is removed from the
    // names of servers whose delimiter is not "/".
    bool keepSlashInFolderNames = false;
};

inline constexpr SessionKind kImapSessionKind{
    .objectName = "IMap2XRV Object",
    .eventOrder = {NetworkEventKind::Connect, NetworkEventKind::Read, NetworkEventKind::Close},
    .lineEnd = LineEnd::KeepCarriageReturn,
    .logReceiveFailures = true,
    .catchLoopExceptions = false,
    .closeEndsSession = false,
    .connectWithoutExceptions = false,
    .unknownErrorText = "An unknown or undefined exception has occurred.",
};

inline constexpr SessionKind kPop3SessionKind{
    .objectName = "Pop32XRV Object",
    // The close is handled first; the read of the same pass still delivers.
    .eventOrder = {NetworkEventKind::Close, NetworkEventKind::Connect, NetworkEventKind::Read},
    .lineEnd = LineEnd::Strip,
    .logReceiveFailures = false,
    .catchLoopExceptions = true,
    .closeEndsSession = true,
    .connectWithoutExceptions = false,
    .unknownErrorText = "Unknown Error in Pop3ActiveObj",
};

}  // namespace rvo
