#pragma once
// The JSON Web Token a service account signs to ask for an access token
// (RFC 7519, signed RS256 as RFC 7515 says). The signature itself is made
// by the Windows shell; this side writes the bytes it signs and joins the
// parts.
#include <cstdint>
#include <string>
#include <string_view>

namespace rvo {

// An identity provider refuses an assertion that lives longer than an hour.
inline constexpr std::int64_t kJwtMaxLifetimeSeconds = 3600;

struct JwtClaims {
    std::string iss;    // the service account's client_email
    std::string sub;    // the mailbox acted for; empty: left out
    std::string scope;  // blank-separated scopes
    std::string aud;    // the token endpoint
    std::int64_t iat = 0;  // seconds since 1970
    std::int64_t exp = 0;
};

// The claims a service account signs to act for one mailbox: issued now,
// living the longest allowed, addressed to the endpoint that receives them.
JwtClaims serviceAccountClaims(std::string_view clientEmail, std::string_view sourceUser, std::string_view scope,
                               std::string_view tokenUri, std::int64_t now);

// base64url({"alg":"RS256","typ":"JWT"}) "." base64url(claims), the claims
// as one JSON object with members in the order iss, scope, aud, exp, iat,
// sub. An exp later than iat + kJwtMaxLifetimeSeconds is clamped to it: the
// caller asked for the longest life allowed, and a refused assertion would
// only cost a failed request.
std::string jwtSigningInput(const JwtClaims& claims);

// signingInput "." base64url(signature): the assertion to send.
std::string jwtAssemble(std::string_view signingInput, std::string_view signature);

}  // namespace rvo
