#pragma once
// One auto-reset event for the socket's events and the stop signal: the
// wait that sees it signalled resets it, and nothing else does, so a stop
// signalled while the loop asks for the socket's events is kept for the
// next wait (a manual-reset event was reset by that question).
#include <winsock2.h>

namespace rvo {

class NetworkEvent {
public:
    // Throws rvo::Exception "Failed to create socket event" when the system
    // has no event to give: a session without one could never be woken.
    NetworkEvent();
    ~NetworkEvent();
    NetworkEvent(const NetworkEvent&) = delete;
    NetworkEvent& operator=(const NetworkEvent&) = delete;

    bool set() const { return WSASetEvent(handle_) != FALSE; }
    WSAEVENT handle() const { return handle_; }

private:
    WSAEVENT handle_;
};

}  // namespace rvo
