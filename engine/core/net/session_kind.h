#pragma once
// What tells the two mail sessions' connection handling apart. One event
// loop serves both; the library builds its variants from these by copying
// and changing a few fields.
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
    bool logReceiveFailures;
    // An exception escaping the loop is logged with unknownErrorText right
    // there; otherwise it reaches the worker thread's top handler.
    bool catchLoopExceptions;
    // closeConnection() also ends the session and logs instead of throwing.
    bool closeEndsSession;
    // Socket and connect failures are logged with their Winsock code instead
    // of raising an exception; an immediate connect failure is also shown.
    bool connectWithoutExceptions;
    std::string_view unknownErrorText;
};

inline constexpr SessionKind kImapSessionKind{
    "IMap2XRV Object",
    {NetworkEventKind::Connect, NetworkEventKind::Read, NetworkEventKind::Close},
    LineEnd::KeepCarriageReturn,
    true,
    false,
    false,
    false,
    "An unknown or undefined exception has occurred.",
};

inline constexpr SessionKind kPop3SessionKind{
    "Pop32XRV Object",
    // The close is handled first; the read of the same pass still delivers.
    {NetworkEventKind::Close, NetworkEventKind::Connect, NetworkEventKind::Read},
    LineEnd::Strip,
    false,
    true,
    true,
    false,
    "Unknown Error in Pop3ActiveObj",
};

}  // namespace rvo
