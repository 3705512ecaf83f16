#pragma once
// Where a session gets the bearer token it signs in with, and what it says
// back when the server ended a session because that token expired. The
// batch program keeps one source for the whole run, so that accounts
// sharing a token (a tenant's) share one request; sessions on several
// workers may ask at once.
#include <optional>
#include <string>

namespace rvo {

class BearerTokens {
public:
    virtual ~BearerTokens() = default;
    // A token for the mailbox `sourceUser`; nullopt with `why` (one whole
    // log line, no secret in it) when none can be had now.
    virtual std::optional<std::string> token(const std::string& sourceUser, std::string& why) = 0;
    // The server refused or ended a session for this token's age: the next
    // request for the mailbox fetches a new one.
    virtual void expired(const std::string& sourceUser) = 0;
};

}  // namespace rvo
