#pragma once
// The waits and the receive limits of a session, fixed when it is
// constructed. Tests shorten them; the programs use the defaults.
#include <cstddef>

#include "engine/core/net/line_assembler.h"

namespace rvo {

struct SessionTimings {
    // One wait for a network event or the stop signal.
    unsigned long waitSliceMs = 30000;
    // Consecutive empty waits tolerated after the first; one more ends the
    // session (six slices of silence with the defaults).
    int extraTimeouts = 5;
    // How long stop() waits for the worker thread to end.
    unsigned long stopWaitMs = 2000;
    // Bytes handed to the line assembler at a time (one receive of the
    // dialogue; the socket layer may take several in one call).
    std::size_t receiveBytes = 2047;
    // Pauses of the sessions: after the LOGOUT completion, before the end is posted.
    unsigned long logoutPauseMs = 500;
    unsigned long finishPauseMs = 1;
    // Least time between two updates of the progress display; what comes
    // sooner is shown together at the end of the interval (0: at once).
    unsigned long progressIntervalMs = 100;
    // Bytes taken from the socket by one receive call. Under Wine every
    // receive and every wait costs wineserver round trips, so one call takes
    // many of the pieces above at once.
    std::size_t receiveBatchBytes = 64 * 1024;
    // The longest line the server may send (line end excluded) before the
    // session ends; a dialogue may still read a longer line in pieces.
    std::size_t maxLineBytes = kMaxLineBytes;
};

// Counts consecutive waits that ended without any network event.
class SilenceCounter {
public:
    explicit SilenceCounter(int extraTimeouts) : limit_(extraTimeouts) {}
    // One more empty wait; true once the silence has lasted too long.
    bool timedOut() { return ++count_ > limit_; }
    // Data arrived.
    void heard() { count_ = 0; }
    int count() const { return count_; }

private:
    int limit_;
    int count_ = 0;
};

}  // namespace rvo
