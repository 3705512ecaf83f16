#pragma once
// What a batch session signs in with when the settings name an OAuth 2.0
// mechanism: the run's token source, and the steps each connection takes
// before it connects (the security check, the token, the SASL message).
#include <memory>
#include <optional>
#include <string>

#include "engine/core/auth/oauth_settings.h"
#include "engine/core/auth/sasl_sign_in.h"
#include "engine/core/log/credential_mask.h"
#include "engine/core/net/connection_security.h"
#include "engine/win32/auth/bearer_tokens.h"

namespace rvo {

struct TokenSignIn {
    OAuthSettings settings;  // mechanism is not None
    std::shared_ptr<BearerTokens> tokens;
};

// The sign-in of one connection as `sourceUser` to host:port. Every form in
// which the token goes out is added to `mask`. Nullopt with `why` (one log
// line) when the connection must not be made: a token over a clear-text
// connection, or no token to be had.
std::optional<SaslSignIn> prepareSignIn(const TokenSignIn& signIn, Security mode, const std::string& sourceUser,
                                        const std::string& host, unsigned port, CredentialMask& mask,
                                        std::string& why);

}  // namespace rvo
