#pragma once
// The run's bearer tokens, fetched from the identity provider the [OAUTH2]
// settings name: a tenant's client credentials (one token for every
// mailbox of the tenant), a service account's signed assertion (one token
// per mailbox), or a command the administrator names. Tokens stay in memory
// only and are renewed a margin before they expire; the client secret, the
// key, the assertion and the tokens never reach a log line.
//
// One request at a time: a session that asks while another's request for
// the same token is under way waits for it and then finds it cached.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "engine/core/auth/oauth_settings.h"
#include "engine/core/auth/service_account_key.h"
#include "engine/core/auth/token_cache.h"
#include "engine/core/auth/token_request.h"
#include "engine/win32/auth/bearer_tokens.h"
#include "engine/win32/auth/token_command.h"
#include "engine/win32/auth/token_http.h"
#include "engine/win32/net/server_certificate.h"

namespace rvo {

// Every wait and bound of a token request.
struct TokenServiceValues {
    TokenHttpLimits http;
    TokenAnswerLimits answer;
    TokenCommandLimits command;
    std::size_t maxKeyFileBytes = kServiceAccountKeyMaxBytes;
    // A token is renewed this long before its expires_in runs out.
    std::int64_t renewMarginSeconds = 300;
};

class TokenProvider : public BearerTokens {
public:
    // `caFile`: further roots for an https token address (none when empty).
    // The settings' key file is a full path.
    TokenProvider(OAuthSettings settings, std::string caFile, TokenServiceValues values = {});

    std::optional<std::string> token(const std::string& sourceUser, std::string& why) override;
    void expired(const std::string& sourceUser) override;

    // Ends a token command that is running, and keeps any from starting (Cancel).
    void stop() { command_.stop(); }

    const OAuthSettings& settings() const { return settings_; }
    const std::string& caFile() const { return caFile_; }

private:
    struct Fetched {
        std::string token;
        std::int64_t expiresIn = 0;
    };
    std::optional<Fetched> fetch(const std::string& sourceUser, std::string& why);
    // POSTs the form and reads the answer; `secret` is masked in any text of it.
    std::optional<Fetched> fromIdentityProvider(const std::string& url, const std::string& body,
                                                const std::string& secret, std::string& why);
    std::optional<Fetched> fromCommand(const std::string& sourceUser, std::string& why);
    // The signed assertion for the mailbox, and in `url` where it goes.
    std::optional<std::string> serviceAccountAssertion(const std::string& sourceUser, std::string& url,
                                                       std::string& why);
    // The roots of CA_FILE, read at the first https request.
    const TrustedRoots* roots(std::string& why);

    OAuthSettings settings_;
    std::string caFile_;
    TokenServiceValues values_;
    std::mutex mutex_;
    TokenCache cache_;
    TokenCommand command_;
    std::optional<TrustedRoots> roots_;
};

}  // namespace rvo
