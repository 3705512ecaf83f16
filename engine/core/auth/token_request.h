#pragma once
// The token request of OAuth 2.0 (RFC 6749 section 4.4, client credentials;
// RFC 7523, a JWT as the grant): the form body sent, the URL it goes to, and
// the reading of the identity provider's answer. The shell posts the body
// and hands back the status and the answer's bytes.
//
// A failed request becomes one log line (tokenFailureText). The secret, the
// assertion and the token never enter it: an answer that is refused keeps
// no token, and any text the provider echoes is masked.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

inline constexpr std::string_view kMicrosoftScope = "https://outlook.office365.com/.default";
inline constexpr std::string_view kGoogleScope = "https://mail.google.com/";

// application/x-www-form-urlencoded: letters, digits and "*-._" stay, a
// blank becomes '+', every other byte %XX (upper-case hex).
std::string formEncode(std::string_view bytes);

// grant_type=client_credentials&client_id=..&client_secret=..&scope=..
std::string clientCredentialsBody(std::string_view clientId, std::string_view clientSecret, std::string_view scope);

// grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer&assertion=..
// (the grant type as the providers document it, its colons unescaped).
std::string jwtBearerBody(std::string_view assertion);

struct HttpUrl {
    bool secure = true;   // https
    std::string host;     // as written (letters, digits, '-', '.')
    unsigned port = 443;  // 443 or 80 unless written
    std::string path;     // from the first '/' or '?', "/" when none
};

inline constexpr std::size_t kTokenUrlMaxBytes = 2048;

// An https:// URL to any host, or http:// to 127.0.0.1 or localhost only
// (a token endpoint on this machine, for tests and a local helper): no
// user-info, no fragment, no blank, control or non-ASCII byte, at most
// kTokenUrlMaxBytes. Empty with `why` set (a clause naming the fault, not
// quoting the URL) otherwise.
std::optional<HttpUrl> parseTokenUrl(std::string_view url, std::string& why);

// A tenant becomes a path segment of the URL: letters, digits, '-' and '.',
// at most 256 bytes, not starting or ending with '.' and without "..".
bool isValidTenant(std::string_view tenant);

// https://login.microsoftonline.com/<tenant>/oauth2/v2.0/token; empty when
// the tenant is refused.
std::string microsoftTokenUrl(std::string_view tenant);

struct TokenAnswerLimits {
    std::size_t maxBodyBytes = 64 * 1024;
    std::size_t maxTokenBytes = 16 * 1024;
    // What an answer without expires_in is taken to mean.
    std::int64_t defaultExpiresInSeconds = 3600;
    // A longer life is cut to this: a token is cached for no longer.
    std::int64_t maxExpiresInSeconds = 24 * 3600;
};

enum class TokenFailure {
    None,
    HttpStatus,    // the provider answered with a status other than 2xx
    NotJson,       // the answer is no JSON object (or larger than the limit)
    NoToken,       // no access_token text in a 2xx answer
    BadToken,      // empty, too long, or a byte outside visible ASCII: no SASL line can carry it
    BadExpiresIn,  // expires_in is there and is not a non-negative integer
};

struct TokenAnswer {
    TokenFailure failure = TokenFailure::NotJson;
    int httpStatus = 0;
    std::string accessToken;              // when failure is None
    std::int64_t expiresInSeconds = 0;    // when failure is None
    std::string error;                    // the provider's "error", when it sent one (raw)
    std::string errorDescription;         // the provider's "error_description" (raw)
    bool ok() const { return failure == TokenFailure::None; }
};

// Reads the answer to a token request. A 2xx answer with an access_token
// that passes the checks is the token (expires_in read as a number or as a
// text of digits, as some providers send it; missing: the default). Any
// other answer is a failure that keeps the provider's error and
// error_description for the log.
TokenAnswer parseTokenAnswer(int httpStatus, std::string_view body, const TokenAnswerLimits& limits);

// The one log line for a failed request: "token request failed: HTTP 401,
// invalid_client: AADSTS7000215: Invalid client secret provided." The
// provider's texts are cut (error to 100 bytes, the description to 400),
// control characters become blanks and other non-ASCII bytes '?'; every
// text in `secrets` (client secret, assertion) is masked wherever it shows.
std::string tokenFailureText(const TokenAnswer& answer, std::initializer_list<std::string_view> secrets = {});

}  // namespace rvo
