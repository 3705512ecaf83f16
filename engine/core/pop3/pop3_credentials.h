#pragma once
// What hides the POP3 password in the session's log: the echo of the PASS
// line the dialogue sends ("PASS " and the password as typed, which POP3
// sends without quoting) and the password itself as a whole token.
#include <string_view>

#include "engine/core/log/credential_mask.h"

namespace rvo {

inline CredentialMask pop3CredentialMask(std::string_view password) {
    CredentialMask mask(password);
    mask.addSentCommand("PASS ", password);
    return mask;
}

}  // namespace rvo
