#include "batch/core/retry_rule.h"

#include <algorithm>

#include "batch/core/account_naming.h"
#include "engine/core/text/ascii.h"
#include "engine/core/text/format.h"

namespace rvo {

bool isRetried(SessionEnd end) {
    switch (end) {
        case SessionEnd::ConnectionDropped:
        case SessionEnd::Stalled:
        case SessionEnd::ByeBeforeLogout:
        case SessionEnd::Throttled:
        case SessionEnd::TemporaryFailure:
        case SessionEnd::ConnectRefused:
        case SessionEnd::ConnectTimedOut:
            return true;
        default:
            return false;
    }
}

bool mayRetry(SessionEnd end, int retry, int allowed) { return isRetried(end) && retry >= 1 && retry <= allowed; }

namespace {

// A refusal line longer than this is read only this far: the codes and
// texts we look for stand at its start.
constexpr std::size_t kReadMax = 1024;

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The first word of the text and the text after its blank.
std::string_view takeWord(std::string_view& text) {
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end < text.size() ? end + 1 : end);
    return word;
}

// "THROTTLED" of "[THROTTLED] ..." or "[THROTTLED 5] ..."; empty without a code.
std::string_view responseCode(std::string_view text) {
    if (text.empty() || text[0] != '[') return {};
    text.remove_prefix(1);
    return text.substr(0, std::min(text.find_first_of(" ]"), text.size()));
}

// N of "Suggested Backoff Time: N milliseconds", capped at
// kLongestSuggestedWait. `upper` is the response text in upper case.
std::optional<std::chrono::milliseconds> suggestedBackoff(std::string_view upper) {
    constexpr std::string_view kLabel = "SUGGESTED BACKOFF TIME:";
    const std::size_t at = upper.find(kLabel);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = upper.substr(at + kLabel.size());
    while (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.remove_prefix(1);
    const long long cap = kLongestSuggestedWait.count();
    long long value = 0;
    std::size_t digits = 0;
    for (; digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9'; ++digits) {
        value = std::min(cap, value * 10 + (rest[digits] - '0'));
    }
    if (digits == 0) return std::nullopt;
    rest.remove_prefix(digits);
    while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    // The wording names milliseconds; a server that says seconds is taken at its word.
    if (startsWithIgnoringCase(rest, "SEC")) value = std::min(cap, value * 1000);
    return std::chrono::milliseconds(value);
}

}  // namespace

namespace {

// Codes that say the sign-in itself or the mailbox is wrong. Their text may
// still mention throttling, but another attempt with the same password is
// what locks an account, so they are never read as "not now".
bool isFinalCode(std::string_view code) {
    for (const std::string_view final : {"AUTHENTICATIONFAILED", "AUTHORIZATIONFAILED", "EXPIRED", "CONTACTADMIN",
                                         "PRIVACYREQUIRED", "AUTH", "SYS/PERM"}) {
        if (equalsIgnoringCase(code, final)) return true;
    }
    return false;
}

}  // namespace

std::optional<ServerPushback> recogniseServerPushback(std::string_view line) {
    line = line.substr(0, std::min(line.size(), kReadMax));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);

    // "+OK" and "+ " continuations are never refusals, whatever follows.
    if (!line.empty() && line[0] == '+') return std::nullopt;
    std::string_view text = line;
    std::optional<SessionEnd> byCode;
    if (startsWithIgnoringCase(text, "-ERR") && (text.size() == 4 || text[4] == ' ')) {
        text.remove_prefix(std::min<std::size_t>(5, text.size()));
        const std::string_view code = responseCode(text);
        if (isFinalCode(code)) return std::nullopt;
        if (equalsIgnoringCase(code, "IN-USE") || equalsIgnoringCase(code, "SYS/TEMP")) {
            byCode = SessionEnd::TemporaryFailure;
        }
    } else {
        takeWord(text);  // the tag or "*"
        const std::string_view status = takeWord(text);
        if (!equalsIgnoringCase(status, "NO") && !equalsIgnoringCase(status, "BYE")) return std::nullopt;
        const std::string_view code = responseCode(text);
        if (isFinalCode(code)) return std::nullopt;
        if (equalsIgnoringCase(code, "THROTTLED")) {
            byCode = SessionEnd::Throttled;
        } else if (equalsIgnoringCase(code, "UNAVAILABLE") || equalsIgnoringCase(code, "INUSE")) {
            byCode = SessionEnd::TemporaryFailure;
        }
    }

    const std::string upper = asciiUpperCopy(text);
    const bool throttledText = upper.find("REQUEST IS THROTTLED") != std::string::npos ||
                               upper.find("ACCOUNT EXCEEDED COMMAND OR BANDWIDTH LIMITS") != std::string::npos;
    const std::optional<std::chrono::milliseconds> suggested = suggestedBackoff(upper);
    if (!byCode && !throttledText && !suggested) return std::nullopt;

    ServerPushback pushback;
    pushback.end = (throttledText || suggested) ? SessionEnd::Throttled : *byCode;
    pushback.suggestedWait = suggested;
    return pushback;
}

std::chrono::milliseconds retryWait(const RetryLimits& limits, int retry,
                                    std::optional<std::chrono::milliseconds> suggested) {
    using std::chrono::milliseconds;
    if (suggested) {
        return std::clamp(*suggested, milliseconds(0), std::max(milliseconds(0), limits.longestSuggestedWait));
    }
    const milliseconds longest = std::max(milliseconds(0), limits.longestWait);
    milliseconds wait = std::clamp(limits.firstWait, milliseconds(0), longest);
    // Doubling stops at the cap, so a retry number of any size cannot overflow.
    for (int i = 1; i < retry && wait < longest; ++i) wait = std::min(longest, wait * 2);
    return wait;
}

std::string retryLogText(int retry, int allowed, int section, std::string_view user, std::chrono::milliseconds wait,
                         SessionEnd reason) {
    const std::string name = taggedUserName(user);
    const std::string_view why = sessionEndText(reason);
    const long long ms = wait.count();
    std::string text;
    formatString(text, "Retry %d of %d for account [%d] (%s) in %lld %s: %.*s", retry, allowed, section,
                 name.c_str(), ms % 1000 == 0 ? ms / 1000 : ms, ms % 1000 == 0 ? "s" : "ms",
                 static_cast<int>(why.size()), why.data());
    return text;
}

}  // namespace rvo
