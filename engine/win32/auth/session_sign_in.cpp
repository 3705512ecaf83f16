#include "engine/win32/auth/session_sign_in.h"

#include "engine/core/auth/base64.h"
#include "engine/core/auth/sasl_oauth.h"

namespace rvo {

std::optional<SaslSignIn> prepareSignIn(const TokenSignIn& signIn, Security mode, const std::string& sourceUser,
                                        const std::string& host, unsigned port, CredentialMask& mask,
                                        std::string& why) {
    if (const std::optional<std::string> problem = oauthSecurityProblem(signIn.settings, mode)) {
        why = *problem;
        return std::nullopt;
    }
    if (!signIn.tokens) {
        why = "No token source is set up for the OAuth 2.0 sign-in";
        return std::nullopt;
    }
    const std::optional<std::string> token = signIn.tokens->token(sourceUser, why);
    if (!token) return std::nullopt;
    const SaslMechanism mechanism =
        signIn.settings.mechanism == OAuthMechanism::OAuthBearer ? SaslMechanism::OAuthBearer : SaslMechanism::XOAuth2;
    const std::string message = mechanism == SaslMechanism::OAuthBearer
                                    ? oauthBearerMessage(sourceUser, host, port, *token)
                                    : xoauth2Message(sourceUser, *token);
    if (message.empty()) {
        why = "The user name " + sourceUser + " cannot be sent in a SASL sign-in (it holds a control character)";
        return std::nullopt;
    }
    SaslSignIn result{std::string(saslMechanismName(mechanism)), base64Encode(message),
                      std::string(saslFailureReply(mechanism))};
    mask.addSentForm(*token);
    mask.addSentForm(result.initialResponse);
    return result;
}

}  // namespace rvo
