#include "engine/win32/net/network_event.h"

#include "engine/win32/log/system_error.h"

namespace rvo {

NetworkEvent::NetworkEvent() : handle_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (!handle_) throwSystemError(GetLastError(), "Failed to create socket event");
}

NetworkEvent::~NetworkEvent() { CloseHandle(handle_); }

}  // namespace rvo
