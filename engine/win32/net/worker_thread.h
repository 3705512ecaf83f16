#pragma once
// A thread started suspended through the C runtime; its handle is closed
// with the owner. Nothing here waits for the thread unless asked to.
#include <windows.h>

namespace rvo {

class WorkerThread {
public:
    using Routine = unsigned(__stdcall*)(void*);

    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Throws rvo::Exception "Failed to create thread".
    void create(Routine routine, void* argument);
    void resume();

    // True once the thread has ended, within at most `milliseconds`. Messages
    // sent to the calling thread's windows are handled meanwhile, so a worker
    // updating a dialog owned by the caller can run on to its end.
    bool waitForEnd(unsigned long milliseconds) const;

    bool exists() const { return handle_ != nullptr; }
    bool resumed() const { return resumed_; }
    bool isCurrent() const { return handle_ != nullptr && GetCurrentThreadId() == id_; }
    HANDLE handle() const { return handle_; }
    unsigned id() const { return id_; }

private:
    HANDLE handle_ = nullptr;
    unsigned id_ = 0;
    bool resumed_ = false;
};

}  // namespace rvo
