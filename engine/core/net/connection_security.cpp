#include "engine/core/net/connection_security.h"

#include "engine/core/text/ascii.h"

namespace rvo {

std::optional<Security> parseSecurity(std::string_view text) {
    if (text.empty() || equalsIgnoringCase(text, "none")) return Security::None;
    if (equalsIgnoringCase(text, "tls")) return Security::Tls;
    if (equalsIgnoringCase(text, "starttls")) return Security::StartTls;
    return std::nullopt;
}

}  // namespace rvo
