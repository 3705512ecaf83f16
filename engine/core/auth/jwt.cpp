#include "engine/core/auth/jwt.h"

#include "engine/core/auth/base64.h"
#include "engine/core/auth/json_reader.h"

namespace rvo {

JwtClaims serviceAccountClaims(std::string_view clientEmail, std::string_view sourceUser, std::string_view scope,
                               std::string_view tokenUri, std::int64_t now) {
    JwtClaims claims;
    claims.iss = clientEmail;
    claims.sub = sourceUser;
    claims.scope = scope;
    claims.aud = tokenUri;
    claims.iat = now;
    claims.exp = now <= INT64_MAX - kJwtMaxLifetimeSeconds ? now + kJwtMaxLifetimeSeconds : INT64_MAX;
    return claims;
}

std::string jwtSigningInput(const JwtClaims& claims) {
    std::int64_t exp = claims.exp;
    if (claims.iat <= INT64_MAX - kJwtMaxLifetimeSeconds && exp > claims.iat + kJwtMaxLifetimeSeconds)
        exp = claims.iat + kJwtMaxLifetimeSeconds;
    std::string body = "{\"iss\":" + jsonString(claims.iss);
    body += ",\"scope\":" + jsonString(claims.scope);
    body += ",\"aud\":" + jsonString(claims.aud);
    body += ",\"exp\":" + std::to_string(exp);
    body += ",\"iat\":" + std::to_string(claims.iat);
    if (!claims.sub.empty()) body += ",\"sub\":" + jsonString(claims.sub);
    body += '}';
    return base64UrlEncode(R"({"alg":"RS256","typ":"JWT"})") + "." + base64UrlEncode(body);
}

std::string jwtAssemble(std::string_view signingInput, std::string_view signature) {
    std::string out(signingInput);
    out += '.';
    out += base64UrlEncode(signature);
    return out;
}

}  // namespace rvo
