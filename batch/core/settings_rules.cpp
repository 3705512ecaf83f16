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

std::string normaliseMailPath(std::string_view value) {
    std::string path(value);
    const std::size_t last = path.rfind('\\');
    if (last != std::string::npos && last + 1 != path.size()) path.push_back('\\');
    return path;
}

}  // namespace rvo
