#include "batch/core/settings_rules.h"

#include <algorithm>

#include "engine/core/text/format.h"

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

int boundedSettingNumber(std::string_view value, int max) {
    if (value.empty()) return -1;
    int number = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return -1;
        if (number <= max) number = number * 10 + (c - '0');
    }
    return number <= max ? number : -1;
}

PipelineDepth parsePipelineDepth(std::string_view value) {
    PipelineDepth out;
    if (value.empty()) return out;
    const int depth = boundedSettingNumber(value, kMaxPipelineDepth);
    if (depth >= 0) {
        out.depth = depth < 1 ? 1 : depth;
        return out;
    }
    out.problem = "PIPELINE=" + std::string(value.substr(0, 40)) + (value.size() > 40 ? "..." : "") +
                  " is not a number from 0 to " + std::to_string(kMaxPipelineDepth) +
                  "; one command at a time is sent";
    return out;
}

namespace {

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isSeparator(char c) { return c == '\\' || c == '/'; }

// "C:" of "C:\\tools\\", "\\\\server\\share" of "\\\\server\\share\\tools\\"; empty when neither.
std::string_view rootOf(std::string_view directory) {
    if (directory.size() >= 2 && directory[1] == ':' && isDriveLetter(directory[0])) return directory.substr(0, 2);
    if (directory.size() >= 2 && isSeparator(directory[0]) && isSeparator(directory[1])) {
        const std::size_t server = directory.find_first_of("\\/", 2);
        if (server == std::string_view::npos) return directory;
        const std::size_t share = directory.find_first_of("\\/", server + 1);
        return directory.substr(0, share);
    }
    return {};
}

}  // namespace

PortSetting readPortSetting(std::string_view key, std::string_view text, int fallback) {
    const std::string fallbackText = std::to_string(fallback);
    if (text.empty()) text = fallbackText;
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Saturates instead of wrapping: anything above the port range stays above it.
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= 65535) value = value * 10 + (text[i] - '0');
    }
    PortSetting setting;
    if (!negative && value >= 1 && value <= 65535) {
        setting.port = static_cast<int>(value);
        return setting;
    }
    formatString(setting.problem, "%.*s=%.*s in default.cfg is not a TCP port (1 to 65535)",
                 static_cast<int>(key.size()), key.data(), static_cast<int>(std::min<std::size_t>(text.size(), 64)),
                 text.data());
    return setting;
}

std::string resolveMailPath(std::string_view value, std::string_view programDirectory) {
    if (value.empty()) return std::string(programDirectory);
    if (value.size() >= 2 && value[1] == ':' && isDriveLetter(value[0])) return std::string(value);
    if (value.size() >= 2 && isSeparator(value[0]) && isSeparator(value[1])) return std::string(value);
    if (isSeparator(value[0])) return std::string(rootOf(programDirectory)) + std::string(value);
    return std::string(programDirectory) + std::string(value);
}

std::string storePlaceText(std::string_view configured, std::string_view resolved) {
    std::string text;
    const int n = static_cast<int>(resolved.size());
    if (configured.empty()) {
        formatString(text, "The store is %.*s (MAIL_PATH is empty: the program's folder)", n, resolved.data());
    } else {
        formatString(text, "The store is %.*s (MAIL_PATH=%.*s)", n, resolved.data(),
                     static_cast<int>(configured.size()), configured.data());
    }
    return text;
}

}  // namespace rvo
