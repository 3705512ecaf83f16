#include "engine/core/auth/oauth_settings.h"

#include "engine/core/auth/token_request.h"
#include "engine/core/text/ascii.h"

namespace rvo {
namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A configured value quoted in a problem text: visible ASCII only, short.
std::string shown(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (out.size() == 40) {
            out += "...";
            break;
        }
        out += (c >= 0x20 && c <= 0x7E) ? c : '?';
    }
    return out;
}

bool hasControl(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    return false;
}

OAuthSettingsResult refused(std::string problem) {
    OAuthSettingsResult r;
    r.problem = "[OAUTH2] " + std::move(problem);
    return r;
}

}  // namespace

OAuthSettingsResult parseOAuthSettings(const OAuthSettingsText& text) {
    OAuthSettingsResult result;
    OAuthSettings& s = result.settings;
    const std::string_view mechanism = trimmed(text.mechanism);
    if (mechanism.empty()) return result;
    if (equalsIgnoringCase(mechanism, "xoauth2")) s.mechanism = OAuthMechanism::XOAuth2;
    else if (equalsIgnoringCase(mechanism, "oauthbearer")) s.mechanism = OAuthMechanism::OAuthBearer;
    else return refused("MECHANISM=" + shown(mechanism) + " is neither xoauth2 nor oauthbearer");

    const std::string_view source = trimmed(text.tokenSource);
    if (source.empty()) return refused("MECHANISM is set but TOKEN_SOURCE is missing (microsoft, google or command)");
    if (equalsIgnoringCase(source, "microsoft")) s.source = TokenSource::Microsoft;
    else if (equalsIgnoringCase(source, "google")) s.source = TokenSource::Google;
    else if (equalsIgnoringCase(source, "command")) s.source = TokenSource::Command;
    else return refused("TOKEN_SOURCE=" + shown(source) + " is none of microsoft, google and command");

    s.tenant = trimmed(text.tenant);
    s.clientId = trimmed(text.clientId);
    // The secret is taken as written: blanks may be part of it.
    s.clientSecret = text.clientSecret;
    s.keyFile = trimmed(text.keyFile);
    s.tokenCommand = trimmed(text.tokenCommand);
    s.tokenUrl = trimmed(text.tokenUrl);
    s.scope = trimmed(text.scope);

    switch (s.source) {
        case TokenSource::Microsoft:
            if (s.tenant.empty()) return refused("TOKEN_SOURCE=microsoft needs TENANT");
            if (!isValidTenant(s.tenant))
                return refused("TENANT=" + shown(s.tenant) + " is not a tenant name or id (letters, digits, '-' and '.')");
            if (s.clientId.empty()) return refused("TOKEN_SOURCE=microsoft needs CLIENT_ID");
            if (hasControl(s.clientId)) return refused("CLIENT_ID holds a control character");
            if (s.clientSecret.empty()) return refused("TOKEN_SOURCE=microsoft needs CLIENT_SECRET");
            if (hasControl(s.clientSecret)) return refused("CLIENT_SECRET holds a control character");
            if (s.scope.empty()) s.scope = kMicrosoftScope;
            if (s.tokenUrl.empty()) s.tokenUrl = microsoftTokenUrl(s.tenant);
            break;
        case TokenSource::Google:
            if (s.keyFile.empty()) return refused("TOKEN_SOURCE=google needs KEY_FILE");
            if (s.scope.empty()) s.scope = kGoogleScope;
            break;
        case TokenSource::Command:
            if (s.tokenCommand.empty()) return refused("TOKEN_SOURCE=command needs TOKEN_COMMAND");
            break;
    }
    if (hasControl(s.keyFile)) return refused("KEY_FILE holds a control character");
    if (hasControl(s.tokenCommand)) return refused("TOKEN_COMMAND holds a control character");
    if (hasControl(s.scope)) return refused("SCOPE holds a control character");
    if (!s.tokenUrl.empty() && s.source != TokenSource::Command) {
        std::string why;
        if (!parseTokenUrl(s.tokenUrl, why)) return refused("TOKEN_URL: " + why);
    }
    return result;
}

std::optional<std::string> oauthSecurityProblem(const OAuthSettings& settings, Security mode) {
    if (settings.mechanism == OAuthMechanism::None || mode != Security::None) return std::nullopt;
    return std::string("[OAUTH2] MECHANISM=") +
           (settings.mechanism == OAuthMechanism::XOAuth2 ? "xoauth2" : "oauthbearer") +
           " needs SECURITY=tls or starttls: a bearer token is never sent in clear text";
}

std::string tokenCacheKey(const OAuthSettings& settings, std::string_view sourceUser) {
    if (settings.source == TokenSource::Microsoft) return settings.tenant;
    return std::string(sourceUser);
}

}  // namespace rvo
