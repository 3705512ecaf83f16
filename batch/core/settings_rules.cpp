#include "batch/core/settings_rules.h"

namespace rvo {

std::array<std::string, 4> parseSystemFolders(std::string_view text) {
    std::array<std::string, 4> names;
    if (text.empty()) return names;
    text = stripOuterSeparators(text);
    for (std::size_t i = 0; !text.empty(); ++i) {
        const std::size_t sep = text.find(';');
        if (sep == std::string_view::npos) {
            if (i == 3) names[3] = std::string(text);
            break;
        }
        if (i < 3) names[i] = std::string(text.substr(0, sep));
        text.remove_prefix(sep + 1);
    }
    return names;
}

ConnectionSecurity parseConnectionSecurity(std::string_view security, std::string_view caFile) {
    ConnectionSecurity result;
    result.mode = parseSecurity(security).value_or(Security::Unknown);
    result.caFile = std::string(caFile);
    result.text = std::string(security);
    return result;
}

int defaultImapPort(Security mode) { return mode == Security::Tls ? 993 : 143; }

int defaultPop3Port(Security mode) { return mode == Security::Tls ? 995 : 110; }

std::string normaliseMailPath(std::string_view value) {
    std::string path(value);
    const std::size_t last = path.rfind('\\');
    if (last != std::string::npos && last + 1 != path.size()) path.push_back('\\');
    return path;
}

}  // namespace rvo
