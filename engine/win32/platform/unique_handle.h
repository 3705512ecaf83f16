#pragma once
// The owner of one system handle of any kind: `Close` releases it once, when
// the owner is destroyed or reset; moves hand it over; the empty value
// `Invalid` is part of the type. Closing keeps GetLastError, so a caller can
// still report the failure that made it give the handle up.
#include <windows.h>

#include <utility>

namespace rvo {

template <typename Handle, auto Close, Handle Invalid = Handle{}>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, Invalid)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, Invalid);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const { return h_; }
    explicit operator bool() const { return h_ != Invalid; }
    // For a call that fills the handle through a pointer; the old one is closed first.
    Handle* put() {
        reset();
        return &h_;
    }
    void reset(Handle h = Invalid) {
        if (h_ != Invalid) {
            const DWORD error = GetLastError();
            Close(h_);
            SetLastError(error);
        }
        h_ = h;
    }

private:
    Handle h_ = Invalid;
};

namespace detail {
// System functions are imported from DLLs: their addresses are no constants
// a template can take, so each gets a plain function of ours.
inline void closeKernelHandle(HANDLE h) { CloseHandle(h); }
}  // namespace detail

// A kernel object that is empty when null (processes, threads, events, pipes).
using KernelHandle = UniqueHandle<HANDLE, detail::closeKernelHandle>;

}  // namespace rvo
