#pragma once
// How a dialogue signs in with an OAuth 2.0 bearer token instead of a
// password: the SASL mechanism, the client's first message (built around
// the token by whoever holds it) and what the client answers when the
// server's challenge says the token was refused. The dialogues send these
// bytes as they are and never show the initial response in the log.
#include <string>
#include <string_view>

namespace rvo {

struct SaslSignIn {
    std::string mechanism;        // "XOAUTH2" or "OAUTHBEARER"
    std::string initialResponse;  // base64 of the client's first message
    std::string failureReply;     // what answers a failure challenge: "" (XOAUTH2) or "AQ==" (OAUTHBEARER)
};

// Every piece is a single word of visible ASCII (a mechanism name, base64):
// anything else could end the command line early and smuggle in another.
inline bool saslSignInSendable(const SaslSignIn& signIn) {
    const auto word = [](std::string_view text) {
        for (const char c : text)
            if (c <= ' ' || c > '~') return false;
        return true;
    };
    return !signIn.mechanism.empty() && word(signIn.mechanism) && word(signIn.initialResponse) &&
           word(signIn.failureReply);
}

}  // namespace rvo
