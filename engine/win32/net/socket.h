#pragma once
// Thin wrappers over a Windows Sockets IPv4 socket and its address.
#include <winsock2.h>

namespace rvo {

// An IPv4 address and port.
class SocketAddress {
public:
    // `dotted` is "a.b.c.d"; none means any local address.
    explicit SocketAddress(unsigned short port, const char* dotted = nullptr);
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address_); }
    int size() const { return static_cast<int>(sizeof address_); }

private:
    sockaddr_in address_{};
};

class Socket {
public:
    // The socket itself is made by create(), or at once when `createNow` is set.
    explicit Socket(int type = SOCK_STREAM, bool createNow = false);
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Throws rvo::Exception "Failed to create socket".
    void create();
    // False on failure, with the code in WSAGetLastError().
    bool tryCreate();
    // WSAEWOULDBLOCK is the normal start of a non-blocking connect; any other
    // failure throws rvo::Exception "Failed to connect to address".
    void connectTo(const SocketAddress& address);
    // 0 when connected or connecting, else the Winsock error code.
    int tryConnect(const SocketAddress& address);
    bool shutdown(int how);
    // recv/send results unchanged: a count, 0 for an orderly close, -1.
    int receive(char* buffer, int length);
    int send(const char* bytes, int length);
    void close();

    SOCKET handle() const { return handle_; }
    bool isOpen() const { return handle_ != INVALID_SOCKET; }

private:
    SOCKET handle_ = INVALID_SOCKET;
    int type_;
};

class EventSocket : public Socket {
public:
    using Socket::Socket;
    // Reports `mask` events through `event`; the socket becomes non-blocking.
    bool selectEvents(WSAEVENT event, long mask);
};

}  // namespace rvo
