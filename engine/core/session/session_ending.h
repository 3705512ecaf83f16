#pragma once
// What a session leaves behind for whoever ran it: how it ended, the first
// reason in words, the server's last refusal line, and what it did to the
// account's messages (or, in a check-only run, what it counted). The
// session fills it on its worker; it is read once the worker has ended.
#include <cstdint>
#include <string>

#include "engine/core/session/session_end.h"

namespace rvo {

// Longest refusal line and reason kept (bytes); longer ones are cut.
inline constexpr std::size_t kMaxEndingText = 512;

// What a check-only session counted: the folders it would walk, the
// messages and bytes it would copy, and how many of the listed messages the
// store (or the POP3 database) already holds.
struct CheckCounts {
    std::uint64_t folders = 0;
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    std::uint64_t alreadyStored = 0;
};

struct SessionEnding {
    // Failed until the session says otherwise: a session that dies without
    // a word is never taken for a migrated one.
    SessionEnd end = SessionEnd::Failed;
    // The first reason in words ("the server refused the sign-in: NO
    // [AUTHENTICATIONFAILED] ..."), empty for Completed; no secret in it.
    std::string reason;
    // The server's last NO, BAD, BYE or -ERR line (without CR LF), for
    // recognising a throttling answer; empty when there was none.
    std::string lastRefusal;
    std::uint64_t stored = 0;
    std::uint64_t recognised = 0;
    std::uint64_t failed = 0;
    std::uint64_t bytesStored = 0;
    CheckCounts check;
};

}  // namespace rvo
