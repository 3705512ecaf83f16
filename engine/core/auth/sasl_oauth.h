#pragma once
// The SASL messages that carry a bearer token (XOAUTH2 as the mail
// providers define it, OAUTHBEARER as RFC 7628 does) and the reading of the
// challenge a server sends when it refuses the token. The messages are the
// raw bytes; the dialogue base64-encodes them for the wire.
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

enum class SaslMechanism { XOAuth2, OAuthBearer };

// "XOAUTH2" or "OAUTHBEARER", as AUTHENTICATE and AUTH name them.
std::string_view saslMechanismName(SaslMechanism mechanism);

// "user=" user "\x01auth=Bearer " token "\x01\x01". Empty when the token is
// empty or when the user or the token holds \x01, CR, LF or NUL (they would
// end a field or the message early); an empty text is never a message.
std::string xoauth2Message(std::string_view user, std::string_view token);

// "n,a=" user "," "\x01host=" host "\x01port=" port "\x01auth=Bearer " token
// "\x01\x01", with ',' and '=' in the user written =2C and =3D; an empty user
// leaves out "a=" ("n,,"). Empty on the same refusals as xoauth2Message,
// the host included.
std::string oauthBearerMessage(std::string_view user, std::string_view host, unsigned port, std::string_view token);

// What the client answers a failure challenge with, before the server's
// final refusal: "" for XOAUTH2, "AQ==" (base64 of \x01) for OAUTHBEARER.
std::string_view saslFailureReply(SaslMechanism mechanism);

// Longest status text saslChallengeStatus gives.
inline constexpr std::size_t kSaslStatusMax = 32;

// The "status" member (a string or a number) of a failure challenge: base64
// of a JSON object such as {"status":"401","schemes":"bearer","scope":"mail"}.
// Only printable ASCII is kept, at most kSaslStatusMax characters, so the
// text is safe in a log line; empty when the challenge cannot be read (not
// base64, not JSON, longer than 4 KB, no status).
std::string saslChallengeStatus(std::string_view base64Challenge);

}  // namespace rvo
