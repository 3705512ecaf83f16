#include "batch/core/run_settings.h"

#include "batch/core/settings_rules.h"
#include "engine/core/text/format.h"

namespace rvo {

namespace {

// Longest part of a wrong value quoted in its problem text.
constexpr std::size_t kQuotedMax = 40;

std::string quoted(std::string_view key, std::string_view value) {
    std::string text(key);
    text.push_back('=');
    for (const char c : value.substr(0, kQuotedMax)) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
    }
    if (value.size() > kQuotedMax) text.append("...");
    return text;
}

}  // namespace

ParallelSetting parseParallel(std::string_view value) {
    ParallelSetting out;
    if (value.empty()) return out;
    const int number = boundedSettingNumber(value, kMaxParallel);
    if (number >= 1) {
        out.accounts = number;
        return out;
    }
    formatString(out.problem, "%s is not a number from 1 to %d; one account is migrated at a time",
                 quoted("PARALLEL", value).c_str(), kMaxParallel);
    return out;
}

RetriesSetting parseRetries(std::string_view value) {
    RetriesSetting out;
    if (value.empty()) return out;
    const int number = boundedSettingNumber(value, kMaxRetries);
    if (number >= 0) {
        out.retries = number;
        return out;
    }
    formatString(out.problem, "%s is not a number from 0 to %d; no account is tried again",
                 quoted("RETRIES", value).c_str(), kMaxRetries);
    return out;
}

CheckOnlySetting parseCheckOnly(std::string_view value) {
    CheckOnlySetting out;
    if (value.empty() || value == "0") return out;
    out.checkOnly = true;
    if (value == "1") return out;
    formatString(out.problem, "%s is neither 0 nor 1; the accounts are only checked, nothing is migrated",
                 quoted("CHECK_ONLY", value).c_str());
    return out;
}

}  // namespace rvo
