#pragma once
// The rules of the [OAUTH2] section: which SASL mechanism, where tokens come
// from, and what each source needs. The settings reader hands in the raw
// texts of the keys; a bad or incomplete section becomes one problem text
// for the log, naming the key and never the value of CLIENT_SECRET.
//
// Error convention of this layer: a result with an empty `problem` is good.
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/net/connection_security.h"

namespace rvo {

enum class OAuthMechanism { None, XOAuth2, OAuthBearer };
enum class TokenSource { Microsoft, Google, Command };

struct OAuthSettingsText {
    std::string mechanism;     // MECHANISM
    std::string tokenSource;   // TOKEN_SOURCE
    std::string tenant;        // TENANT
    std::string clientId;      // CLIENT_ID
    std::string clientSecret;  // CLIENT_SECRET
    std::string keyFile;       // KEY_FILE
    std::string tokenCommand;  // TOKEN_COMMAND
    std::string tokenUrl;      // TOKEN_URL
    std::string scope;         // SCOPE
};

struct OAuthSettings {
    // None: LOGIN and USER/PASS as before; nothing else here is read.
    OAuthMechanism mechanism = OAuthMechanism::None;
    TokenSource source = TokenSource::Microsoft;
    std::string tenant;
    std::string clientId;
    std::string clientSecret;
    std::string keyFile;
    std::string tokenCommand;
    // Where tokens are asked for: TOKEN_URL when set; else for Microsoft the
    // tenant's endpoint, for Google empty (the key file's token_uri), for a
    // command empty (not used).
    std::string tokenUrl;
    // SCOPE when set; else kMicrosoftScope or kGoogleScope; empty for a command.
    std::string scope;
};

struct OAuthSettingsResult {
    OAuthSettings settings;
    std::string problem;  // empty: the settings are good
    bool ok() const { return problem.empty(); }
};

// MECHANISM and TOKEN_SOURCE ignore letter case and surrounding blanks.
// Missing or empty MECHANISM: None, whatever else is set. Otherwise
// TOKEN_SOURCE must be microsoft (TENANT, CLIENT_ID and CLIENT_SECRET
// needed), google (KEY_FILE needed) or command (TOKEN_COMMAND needed), and
// TOKEN_URL, when set, must be a token URL parseTokenUrl takes.
OAuthSettingsResult parseOAuthSettings(const OAuthSettingsText& text);

// A bearer token is a credential: with SECURITY=none the mechanism is
// refused before anything connects. Empty when the pair is fine (an
// unknown security mode is refused elsewhere).
std::optional<std::string> oauthSecurityProblem(const OAuthSettings& settings, Security mode);

// The key under which a token is cached: Microsoft's one token serves the
// whole tenant; Google's and a command's are made for one source user.
std::string tokenCacheKey(const OAuthSettings& settings, std::string_view sourceUser);

}  // namespace rvo
