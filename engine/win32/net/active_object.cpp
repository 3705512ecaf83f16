#include "engine/win32/net/active_object.h"

#include "engine/core/text/exception.h"

namespace rvo {

void ActiveObject::startThread() { thread_.create(&ActiveObject::threadProc, this); }

void ActiveObject::resume() { thread_.resume(); }

bool ActiveObject::stop() {
    ++stopRequests_;
    signal();
    if (thread_.isCurrent()) return false;
    // A worker that was never resumed never runs; waiting would only delay.
    if (!thread_.resumed()) return !thread_.exists();
    return thread_.waitForEnd(stopWaitMs_);
}

bool ActiveObject::waitForEnd(unsigned long milliseconds) const {
    if (!thread_.resumed()) return !thread_.exists();
    return thread_.waitForEnd(milliseconds);
}

unsigned __stdcall ActiveObject::threadProc(void* object) {
    static_cast<ActiveObject*>(object)->runSteps();
    return 0;
}

void ActiveObject::runSteps() {
    // An exception must not leave the thread's routine: it would end the
    // whole process, and finish, which reports the end, would never run.
    try {
        start();
        run();
    } catch (const Exception& e) {
        onUnhandledException(e.text());
    } catch (...) {
        onUnhandledException(nullptr);
    }
    try {
        finish();
    } catch (const Exception& e) {
        onUnhandledException(e.text());
    } catch (...) {
        onUnhandledException(nullptr);
    }
}

}  // namespace rvo
