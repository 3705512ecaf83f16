#include "engine/win32/net/socket.h"

#include "engine/win32/log/system_error.h"

namespace rvo {

SocketAddress::SocketAddress(unsigned short port, const char* dotted) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    address_.sin_addr.s_addr = dotted ? inet_addr(dotted) : htonl(INADDR_ANY);
}

Socket::Socket(int type, bool createNow) : type_(type) {
    if (createNow) create();
}

Socket::~Socket() { close(); }

void Socket::create() {
    if (!tryCreate()) throwSystemError(static_cast<unsigned long>(WSAGetLastError()), "Failed to create socket");
}

bool Socket::tryCreate() {
    close();
    handle_ = ::socket(AF_INET, type_, 0);
    return handle_ != INVALID_SOCKET;
}

void Socket::connectTo(const SocketAddress& address) {
    if (const int error = tryConnect(address); error != 0)
        throwSystemError(static_cast<unsigned long>(error), "Failed to connect to address");
}

int Socket::tryConnect(const SocketAddress& address) {
    if (::connect(handle_, address.get(), address.size()) != SOCKET_ERROR) return 0;
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK ? 0 : error;
}

bool Socket::shutdown(int how) { return ::shutdown(handle_, how) != SOCKET_ERROR; }

int Socket::receive(char* buffer, int length) { return ::recv(handle_, buffer, length, 0); }

int Socket::send(const char* bytes, int length) { return ::send(handle_, bytes, length, 0); }

void Socket::close() {
    if (handle_ != INVALID_SOCKET && ::closesocket(handle_) != SOCKET_ERROR) handle_ = INVALID_SOCKET;
}

bool EventSocket::selectEvents(WSAEVENT event, long mask) {
    return ::WSAEventSelect(handle(), event, mask) != SOCKET_ERROR;
}

}  // namespace rvo
