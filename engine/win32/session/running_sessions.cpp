#include "engine/win32/session/running_sessions.h"

#include <utility>

#include "engine/core/text/format.h"
#include "engine/win32/ui/dialog_window.h"
#include "resources/resource_ids.h"

namespace rvo {

namespace {
constexpr std::size_t kTitleMax = 255;
constexpr const char* kKeptText = "A session did not end; it is kept until the program ends";
}  // namespace

std::string accountTitleText(HINSTANCE module, std::string_view user) {
    const std::string format = loadResourceString(IDS_DIALOG_TITLE, module);
    std::string title = formatBounded(format.c_str(), std::string(user).c_str());
    if (title.size() > kTitleMax) title.resize(kTitleMax);
    return title;
}

void RunningSessions::SlotObserver::sessionFinished(int result) {
    if (owner_.finished_) owner_.finished_(SessionFinish{slot_, serial_, result});
}

RunningSessions::RunningSessions(LogSink& log, std::string logName, std::size_t slots, unsigned long endWaitMs,
                                 std::function<void(const SessionFinish&)> finished)
    : log_(log),
      logName_(std::move(logName)),
      endWaitMs_(endWaitMs),
      finished_(std::move(finished)),
      slots_(slots < 1 ? 1 : slots) {}

RunningSessions::~RunningSessions() {
    // A worker still running would use the freed object (and its observer).
    auto letGo = [](std::unique_ptr<SocketSession>& session, std::unique_ptr<SlotObserver>& observer) {
        if (session && !session->waitForEnd(0)) {
            (void)session.release();
            (void)observer.release();
        }
    };
    for (Slot& slot : slots_) letGo(slot.session, slot.observer);
    for (Held& held : keptAside_) letGo(held.session, held.observer);
}

SessionObserver* RunningSessions::nextObserver(std::size_t slot) {
    Slot& s = slots_.at(slot);
    if (!s.nextObserver) {
        s.nextObserver = std::make_unique<SlotObserver>(*this, slot, nextSerial_);
        nextSerial_ = nextSerial_ >= kMaxSessionSerial ? 1 : nextSerial_ + 1;
    }
    return s.nextObserver.get();
}

std::uint32_t RunningSessions::start(std::size_t slot, std::unique_ptr<SocketSession> session, ProgressView* view) {
    retire(slot);
    Slot& s = slots_.at(slot);
    if (!s.nextObserver) nextObserver(slot);
    s.observer = std::move(s.nextObserver);
    s.session = std::move(session);
    const std::uint32_t serial = s.observer->serial();
    try {
        s.session->startThread();
    } catch (...) {
        // The worker was never created: nothing uses the session.
        s.session.reset();
        s.observer.reset();
        throw;
    }
    s.session->attachProgress(view);
    s.session->resume();
    return serial;
}

bool RunningSessions::isCurrent(const SessionFinish& finish) const {
    if (finish.slot >= slots_.size()) return false;
    const Slot& s = slots_[finish.slot];
    return s.session && s.observer && s.observer->serial() == finish.serial;
}

bool RunningSessions::running(std::size_t slot) const {
    const Slot& s = slots_.at(slot);
    return s.session && !s.session->waitForEnd(0);
}

std::optional<std::size_t> RunningSessions::firstRunning() const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (running(i)) return i;
    return std::nullopt;
}

bool RunningSessions::anyAlive() const {
    for (const Slot& s : slots_)
        if (s.session && !s.session->waitForEnd(0)) return true;
    for (const Held& held : keptAside_)
        if (held.session && !held.session->waitForEnd(0)) return true;
    return false;
}

bool RunningSessions::waitFor(SocketSession& session, unsigned long quietMs) const {
    if (session.waitForEnd(quietMs)) return true;
    if (endWaitMs_ == kWithoutLimit) {
        log_.report(logName_, "Waiting for the session to end");
        return session.waitForEnd(INFINITE);
    }
    log_.report(logName_, formatBounded("Waiting up to %lu ms for a session to end", endWaitMs_));
    if (!session.waitForEnd(endWaitMs_)) {
        log_.report(logName_, formatBounded("A session did not end within %lu ms", endWaitMs_));
        return false;
    }
    return true;
}

bool RunningSessions::waitForEnd(std::size_t slot, unsigned long quietMs) {
    Slot& s = slots_.at(slot);
    return !s.session || waitFor(*s.session, quietMs);
}

void RunningSessions::keepAside(Slot& slot) {
    log_.report(logName_, kKeptText);
    keptAside_.push_back(Held{std::move(slot.session), std::move(slot.observer)});
}

std::optional<SessionEnding> RunningSessions::finish(std::size_t slot) {
    Slot& s = slots_.at(slot);
    if (!s.session) return std::nullopt;
    // A worker that has said its end finishes at once; the wait bounds a stuck one.
    if (!s.session->waitForEnd(endWaitMs_)) {
        keepAside(s);
        return std::nullopt;
    }
    SessionEnding ending = s.session->ending();
    s.session.reset();
    s.observer.reset();
    return ending;
}

std::optional<SessionEnding> RunningSessions::endingIfEnded(std::size_t slot) const {
    const Slot& s = slots_.at(slot);
    if (!s.session || !s.session->waitForEnd(0)) return std::nullopt;
    return s.session->ending();
}

void RunningSessions::retire(std::size_t slot) {
    Slot& s = slots_.at(slot);
    if (!s.session) return;
    if (s.session->stop() || s.session->waitForEnd(endWaitMs_)) {
        s.session.reset();
        s.observer.reset();
    } else {
        keepAside(s);
    }
}

void RunningSessions::clear(std::size_t slot) {
    Slot& s = slots_.at(slot);
    if (!s.session) return;
    if (s.session->waitForEnd(0)) {
        s.session.reset();
        s.observer.reset();
    } else {
        keepAside(s);
    }
}

bool RunningSessions::stopAll() {
    bool allEnded = true;
    for (Slot& s : slots_)
        if (s.session && !s.session->stop()) allEnded = false;
    for (Held& held : keptAside_)
        if (held.session && !held.session->stop()) allEnded = false;
    return allEnded;
}

bool RunningSessions::endAll(unsigned long boundMs) {
    std::vector<std::pair<std::unique_ptr<SocketSession>*, std::unique_ptr<SlotObserver>*>> all;
    for (Slot& s : slots_) all.emplace_back(&s.session, &s.observer);
    for (Held& held : keptAside_) all.emplace_back(&held.session, &held.observer);
    const ULONGLONG deadline = GetTickCount64() + boundMs;
    bool allEnded = true;
    for (auto [session, observer] : all) {
        if (!*session) continue;
        if (!(*session)->waitForEnd(0)) {
            log_.report(logName_, formatBounded("Waiting up to %lu ms for a session to end", boundMs));
            const ULONGLONG now = GetTickCount64();
            const unsigned long left = now >= deadline ? 0 : static_cast<unsigned long>(deadline - now);
            if (!(*session)->stop() && !(*session)->waitForEnd(left)) {
                log_.report(logName_, formatBounded("A session did not end within %lu ms", boundMs));
                allEnded = false;
                continue;
            }
            log_.report(logName_, "The session has ended");
        }
        session->reset();
        observer->reset();
    }
    std::erase_if(keptAside_, [](const Held& held) { return !held.session; });
    return allEnded;
}

}  // namespace rvo
