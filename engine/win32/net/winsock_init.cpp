#include "engine/win32/net/winsock_init.h"

#include <winsock2.h>

#include "engine/win32/log/system_error.h"

namespace rvo {

WinsockInit::WinsockInit(unsigned char major, unsigned char minor) {
    WSADATA data{};
    if (const int result = WSAStartup(MAKEWORD(major, minor), &data); result != 0)
        throwSystemError(static_cast<unsigned long>(result), "Failed to initiate the use of ws2_32.dll.");
}

WinsockInit::~WinsockInit() { WSACleanup(); }

}  // namespace rvo
