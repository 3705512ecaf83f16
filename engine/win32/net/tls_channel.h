#pragma once
// The client side of one TLS connection through the system's SChannel
// (SSPI): TLS 1.2 and 1.3 only, as far as the system offers them. It does
// no I/O: the session hands it what the socket received and sends what it
// gives back. Received bytes wait here until a record is complete; one
// record is at most kMaxTlsRecordBytes, so what waits is bounded.
//
// The server's certificate is checked by the caller (verifyServerCertificate)
// once the handshake is done and before anything else is sent; SChannel's
// own automatic check is off so that the check and its log line are ours.
#include <string>
#include <string_view>
#include <utility>

#include "engine/core/net/tls_text.h"
#include "engine/win32/net/tls_handles.h"

namespace rvo {

class TlsChannel {
public:
    enum class Result {
        Pending,  // more bytes are needed
        Done,     // handshake: complete; read: the data so far handed over
        Closed,   // the server ended TLS in order (close_notify)
        Failed,   // why() says what; the connection is to be dropped
    };

    // `host` is the name the server is asked for (SNI) and is known by.
    explicit TlsChannel(std::string host);
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Starts the handshake; the bytes to send are appended to `out`.
    Result begin(std::string& out);
    // Bytes received while the handshake runs; answers appended to `out`.
    // After Done, bytes that came with the last handshake message wait for read().
    Result handshake(std::string_view received, std::string& out);
    // Bytes received once the channel is up: the data of every complete
    // record is appended to `plain`; handshake messages the server sends
    // meanwhile (TLS 1.3 tickets, a renegotiation) are answered into `out`.
    Result read(std::string_view received, std::string& plain, std::string& out);
    // The records carrying `plain`, appended to `out`.
    bool write(std::string_view plain, std::string& out);
    // The close_notify alert, when the channel is up; else nothing.
    std::string close();

    // The server's certificate (with the intermediates it sent), once the handshake is done.
    CertificateContext serverCertificate();
    // "TLS 1.3, cipher suite TLS_AES_256_GCM_SHA384 (0x1302)", for the log.
    std::string description();
    // The protocol version negotiated, once the handshake is done.
    TlsVersion version();
    // True once after a renegotiation completed: the certificate is to be checked again.
    bool takeRenegotiated() { return std::exchange(renegotiated_, false); }
    // Bytes received but not yet a complete record.
    std::size_t waitingBytes() const { return input_.size(); }
    const std::string& why() const { return why_; }

private:
    Result step(std::string& out);
    Result fail(const char* what, long status);
    Result checkInput();

    std::string host_;
    CredentialsHandle credentials_;
    SecurityContext context_;
    bool contextMade_ = false;
    bool up_ = false;
    // A renegotiation (or post-handshake message) is being answered.
    bool renegotiating_ = false;
    bool renegotiated_ = false;
    TlsVersion version_ = TlsVersion::Unknown;
    std::string input_;
    SecPkgContext_StreamSizes sizes_{};
    std::string why_;
};

}  // namespace rvo
