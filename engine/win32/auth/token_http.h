#pragma once
// One token request to an identity provider over WinHTTP: a form POSTed to
// host:port/path, and the answer's HTTP status and body, both bounded.
//
// What it promises:
// - TLS is verified by the system. With further roots (CA_FILE) the system
//   lets an unknown root pass, and the server's certificate is then checked
//   here (chain to the system's or the further roots, name = host) after
//   the request headers and BEFORE any body byte leaves; a refused server
//   never sees the body.
// - Plain http only to 127.0.0.1 and localhost.
// - Every wait (name resolution, connect, send, receive) ends within a time
//   given by the caller; an answer longer than the caller's limit is an
//   error, never cut.
// - No reason text holds the request body (it carries a client secret or a
//   signed assertion). Any HTTP status is an answer; what a 400 means is the
//   caller's to read from the body.
//
// Errors: TokenHttpError plus one sentence (`reason`) naming host and port
// and, where WinHTTP gave one, its error number.
#include <cstddef>
#include <string>

#include "engine/win32/net/server_certificate.h"

namespace rvo {

enum class TokenHttpError {
    Failed,       // anything not named below; an answer is a failure until it says otherwise
    None,         // an HTTP answer arrived: see status and body
    NotAllowed,   // plain http to another host than the loopback, or no host
    Resolve,      // the host name could not be resolved
    Connect,      // no connection could be made, or it broke
    Certificate,  // the TLS handshake or the server's certificate was refused; no body byte was sent
    TimedOut,     // a wait ran out
    TooLarge,     // the answer is longer than the limit
    Protocol,     // what came back is not an HTTP answer
};

struct TokenHttpLimits {
    std::size_t maxResponseBytes = 64 * 1024;
    int resolveMs = 15000;
    int connectMs = 15000;
    int sendMs = 30000;
    int receiveMs = 30000;
};

struct TokenHttpAnswer {
    TokenHttpError error = TokenHttpError::Failed;
    std::string reason;  // empty when error is None
    int status = 0;
    std::string body;
    bool ok() const { return error == TokenHttpError::None; }
};

class TokenHttpClient {
public:
    // `roots`: further trusted roots (CA_FILE), or null; they must outlive the client.
    explicit TokenHttpClient(const TokenHttpLimits& limits, const TrustedRoots* roots = nullptr);

    TokenHttpAnswer post(bool secure, const std::string& host, unsigned port, const std::string& path,
                         const std::string& contentType, const std::string& body) const;

private:
    TokenHttpLimits limits_;
    const TrustedRoots* roots_;
};

// 127.0.0.1 or localhost (any case): the only hosts plain http may reach.
bool isLoopbackHost(const std::string& host);

}  // namespace rvo
