#include "engine/win32/net/worker_thread.h"

#include <process.h>

#include "engine/win32/log/system_error.h"

namespace rvo {

WorkerThread::~WorkerThread() {
    if (handle_) CloseHandle(handle_);
}

void WorkerThread::create(Routine routine, void* argument) {
    const uintptr_t handle = _beginthreadex(nullptr, 0, routine, argument, CREATE_SUSPENDED, &id_);
    if (handle == 0) throwSystemError(GetLastError(), "Failed to create thread");
    if (handle_) CloseHandle(handle_);
    handle_ = reinterpret_cast<HANDLE>(handle);
    resumed_ = false;
}

void WorkerThread::resume() {
    if (!handle_) return;
    ResumeThread(handle_);
    resumed_ = true;
}

bool WorkerThread::waitForEnd(unsigned long milliseconds) const {
    if (!handle_) return true;
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD result = MsgWaitForMultipleObjects(1, &handle_, FALSE, left, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0) return true;
        if (result != WAIT_OBJECT_0 + 1) return false;
        // Handles the messages sent from other threads, leaves posted ones queued.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace rvo
