#include "batch/win32/run_tokens.h"

#include <tuple>


namespace rvo {

namespace {

bool sameSettings(const OAuthSettings& a, const OAuthSettings& b) {
    const auto fields = [](const OAuthSettings& s) {
        return std::tie(s.mechanism, s.source, s.tenant, s.clientId, s.clientSecret, s.keyFile, s.tokenCommand,
                        s.tokenUrl, s.scope);
    };
    return fields(a) == fields(b);
}

}  // namespace

std::optional<TokenSignIn> RunTokens::signInFor(const DefaultCfgModel& config) {
    if (config.oauth().mechanism == OAuthMechanism::None) return std::nullopt;
    const std::string& caFile = config.settings().security.caFile;
    if (!provider_ || !sameSettings(provider_->settings(), config.oauth()) || provider_->caFile() != caFile)
        provider_ = std::make_shared<TokenProvider>(config.oauth(), caFile, values_);
    return TokenSignIn{config.oauth(), provider_};
}

void RunTokens::cancel() {
    if (provider_) provider_->stop();
}

}  // namespace rvo
