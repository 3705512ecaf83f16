#pragma once
// The bearer-token source of a batch run. Sessions are made one after
// another, each with the settings as default.cfg holds them then; all whose
// [OAUTH2] settings are the same share one token source, so that a tenant's
// token is asked for once for the whole list of accounts.
#include <memory>
#include <optional>

#include "batch/win32/default_cfg_model.h"
#include "engine/win32/auth/session_sign_in.h"
#include "engine/win32/auth/token_provider.h"

namespace rvo {

class RunTokens {
public:
    explicit RunTokens(TokenServiceValues values = {}) : values_(values) {}

    // The sign-in for a session made with `config`; nullopt when its
    // accounts sign in with a password.
    std::optional<TokenSignIn> signInFor(const DefaultCfgModel& config);
    // Cancel: a token command that is running is ended, and none starts after.
    void cancel();

private:
    TokenServiceValues values_;
    std::shared_ptr<TokenProvider> provider_;
};

}  // namespace rvo
