#include "engine/win32/net/network_event.h"

#include "engine/win32/log/system_error.h"

namespace rvo {

NetworkEvent::NetworkEvent() : handle_(WSACreateEvent()) {
    if (handle_ == WSA_INVALID_EVENT)
        throwSystemError(static_cast<unsigned long>(WSAGetLastError()), "Failed to create socket event");
}

NetworkEvent::~NetworkEvent() { WSACloseEvent(handle_); }

}  // namespace rvo
