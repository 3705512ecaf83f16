#pragma once
// The one owner of the sessions a dialog runs: a fixed number of slots, each
// holding at most one session, started on its own worker and told apart when
// it ends. A session is freed only once its worker has ended; one that does
// not end within the wait rule is kept (never freed under its worker) until
// endAll, and let go unfreed if it outlives even that.
//
// The wait rule is a value: the batch program waits a bounded time and then
// keeps a stuck session aside so the run goes on; the library waits without
// limit, since its call must not return while a worker uses the caller's
// buffers. Every wait longer than the quiet time it is asked for is logged.
//
// Main thread only, except the observers, which the workers call.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/log/log_sink.h"
#include "engine/core/session/progress_view.h"
#include "engine/core/session/session_ending.h"
#include "engine/core/session/session_observer.h"
#include "engine/win32/net/socket_session.h"

namespace rvo {

// Which session ended: its slot and the serial number start() gave it, so
// that a late word from a session already replaced is told from the word of
// the slot's current one. Serials run from 1 to kMaxSessionSerial and then
// wrap, so a slot and a serial fit in one message parameter.
inline constexpr std::uint32_t kMaxSessionSerial = 0xFFFFFF;
struct SessionFinish {
    std::size_t slot = 0;
    std::uint32_t serial = 0;
    int result = 1;
};

class RunningSessions {
public:
    // A wait without limit (the library's rule).
    static constexpr unsigned long kWithoutLimit = INFINITE;

    // `slots` at least 1. `endWaitMs`: how long a stopped or finished
    // session's worker is waited for before it is kept aside (kWithoutLimit:
    // until it ends). `finished` is called on the worker of a session as its
    // last act; it must not wait for the main thread (post a message).
    RunningSessions(LogSink& log, std::string logName, std::size_t slots, unsigned long endWaitMs,
                    std::function<void(const SessionFinish&)> finished);
    // A session whose worker still runs is let go, never freed under it.
    ~RunningSessions();
    RunningSessions(const RunningSessions&) = delete;
    RunningSessions& operator=(const RunningSessions&) = delete;

    std::size_t slots() const { return slots_.size(); }

    // The observer to hand the next session made for `slot`; it reports that
    // session's end with the serial start() then gives it.
    SessionObserver* nextObserver(std::size_t slot);

    // Starts `session` (made with nextObserver(slot)) in `slot`: its worker,
    // its progress view (may be null), then its first step. A session still
    // in the slot is retired first. Returns the session's serial. Throws as
    // startThread does; the session is then freed (no worker ever ran).
    std::uint32_t start(std::size_t slot, std::unique_ptr<SocketSession> session, ProgressView* view);

    SocketSession* session(std::size_t slot) const { return slots_.at(slot).session.get(); }
    // True when the finish is the word of the slot's current session.
    bool isCurrent(const SessionFinish& finish) const;
    // The slot holds a session whose worker has not ended.
    bool running(std::size_t slot) const;
    // The first slot whose session's worker has not ended, if any.
    std::optional<std::size_t> firstRunning() const;
    // Some session, in a slot or kept aside, has a worker that has not ended.
    bool anyAlive() const;

    // Waits for the slot's worker: quietly for `quietMs`, then, with a line in
    // the log, for as long as the wait rule allows. True when it has ended
    // (or there is no session).
    bool waitForEnd(std::size_t slot, unsigned long quietMs);

    // The slot's session has said it ended: waits for its worker within the
    // wait rule and frees it, giving back how it ended. Empty when the slot
    // was empty or its worker outlived the wait (the session is kept aside).
    std::optional<SessionEnding> finish(std::size_t slot);

    // How the slot's session ended, when its worker has ended; the session
    // stays in its slot.
    std::optional<SessionEnding> endingIfEnded(std::size_t slot) const;

    // Asks the slot's session to stop and frees it once its worker has
    // ended; one that does not end within the wait rule is kept aside.
    void retire(std::size_t slot);

    // Frees the slot's session without stopping it; for a session whose
    // worker has ended. One still running is kept aside instead.
    void clear(std::size_t slot);

    // Cancel: a stop request to every session. True when every worker ended
    // within its stop wait.
    bool stopAll();

    // At the program's end: asks every session still running to stop and
    // waits for their workers, at most `boundMs` in all, logging the wait.
    // Frees each session that has ended; false when a worker still runs.
    bool endAll(unsigned long boundMs);

private:
    class SlotObserver : public SessionObserver {
    public:
        SlotObserver(RunningSessions& owner, std::size_t slot, std::uint32_t serial)
            : owner_(owner), slot_(slot), serial_(serial) {}
        void sessionFinished(int result) override;
        std::uint32_t serial() const { return serial_; }

    private:
        RunningSessions& owner_;
        std::size_t slot_;
        std::uint32_t serial_;
    };
    // A session and the observer it reports to: the observer lives as long as
    // the session does, so a worker never calls a freed one.
    struct Held {
        std::unique_ptr<SocketSession> session;
        std::unique_ptr<SlotObserver> observer;
    };
    struct Slot {
        std::unique_ptr<SocketSession> session;
        std::unique_ptr<SlotObserver> observer;
        std::unique_ptr<SlotObserver> nextObserver;
    };
    // Waits within the wait rule (after `quietMs` quietly).
    bool waitFor(SocketSession& session, unsigned long quietMs) const;
    void keepAside(Slot& slot);

    LogSink& log_;
    std::string logName_;
    unsigned long endWaitMs_;
    std::function<void(const SessionFinish&)> finished_;
    std::vector<Slot> slots_;
    // Sessions whose worker outlived their wait; waited for by endAll.
    std::vector<Held> keptAside_;
    std::uint32_t nextSerial_ = 1;
};

// The dialog's title for one account: string IDS_DIALOG_TITLE of `module`
// formatted with the user name, at most 255 bytes.
std::string accountTitleText(HINSTANCE module, std::string_view user);

}  // namespace rvo
