#include "library/core/call_arguments.h"

#include "engine/core/settings/migration_settings.h"
#include "engine/core/text/format.h"

namespace rvo {

std::string destinationWithBackslash(std::string_view path) {
    std::string out(path);
    if (out.empty() || out.back() != '\\') out.push_back('\\');
    return out;
}

std::vector<std::string> destinationFolders(std::string_view destination) {
    return mailPathFolders(destination);
}

void applyFolderMapping(std::string_view text, SystemFolderNames& names) {
    text = stripOuterSeparators(text);
    if (text.empty()) return;
    std::vector<std::string_view> pieces;
    for (;;) {
        const std::size_t sep = text.find(';');
        pieces.push_back(text.substr(0, sep));
        if (sep == std::string_view::npos) break;
        text.remove_prefix(sep + 1);
    }
    for (std::size_t i = 0; i < pieces.size() && i < 3; ++i) names[i] = std::string(pieces[i]);
    if (pieces.size() == 4) names[3] = std::string(pieces[3]);
}

std::string bannerDate(const std::tm& local) {
    static constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    static constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                              "July",    "August",   "September", "October", "November", "December"};
    const char* day = local.tm_wday >= 0 && local.tm_wday < 7 ? kDays[local.tm_wday] : "?";
    const char* month = local.tm_mon >= 0 && local.tm_mon < 12 ? kMonths[local.tm_mon] : "?";
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    return formatBounded("%s, %s %02d, %d %d:%02d %s", day, month, local.tm_mday, local.tm_year + 1900, hour,
                         local.tm_min, local.tm_hour < 12 ? "AM" : "PM");
}

ConnectionSecurity securityForPort(int port, bool imap) {
    ConnectionSecurity security;
    if (port == (imap ? 993 : 995)) security.mode = Security::Tls;
    return security;
}

}  // namespace rvo
