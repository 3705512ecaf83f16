#pragma once
// Base of an object that does its work on a worker thread of its own:
// start, run and finish there, in this order; stoppable from other threads.
#include <atomic>

#include "engine/win32/net/worker_thread.h"

namespace rvo {

class ActiveObject {
public:
    explicit ActiveObject(unsigned long stopWaitMs = 2000) : stopWaitMs_(stopWaitMs) {}
    virtual ~ActiveObject() = default;
    ActiveObject(const ActiveObject&) = delete;
    ActiveObject& operator=(const ActiveObject&) = delete;

    // Worker thread: the first step.
    virtual void start() = 0;
    // Any thread: wakes the worker from its wait.
    virtual void signal() = 0;
    // Worker thread: the work, until a stop request.
    virtual void run() = 0;
    // Worker thread: the last step; runs however start and run ended.
    virtual void finish() = 0;

    // Creates the worker suspended; throws rvo::Exception "Failed to create thread".
    void startThread();
    void resume();
    // Asks the worker to stop and wakes it. From another thread, waits at
    // most the stop bound for the worker to end; on the worker itself, returns
    // at once. True when the worker has ended (or never ran). The object may
    // be deleted only after its worker has ended.
    bool stop();
    bool waitForEnd(unsigned long milliseconds) const;

    long stopRequests() const { return stopRequests_.load(); }

protected:
    // An exception escaped start or run (the worker goes on to finish), or
    // finish. `text` is the rvo::Exception's text, null for any other.
    virtual void onUnhandledException(const char* text) { (void)text; }
    bool onWorkerThread() const { return thread_.isCurrent(); }
    void addStopRequest() { ++stopRequests_; }

private:
    static unsigned __stdcall threadProc(void* object);
    void runSteps();

    WorkerThread thread_;
    std::atomic<long> stopRequests_{0};
    unsigned long stopWaitMs_;
};

}  // namespace rvo
