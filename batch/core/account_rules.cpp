#include "batch/core/account_rules.h"

#include <algorithm>

#include "engine/core/store/store_layout.h"
#include "engine/core/text/format.h"
#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

// Longest part of an account's value quoted in a log line.
constexpr int kQuotedMax = 255;

std::optional<std::string> keyProblem(const char* key, std::string_view value) {
    const std::optional<std::string> why = singleLevelNameProblem(value);
    if (!why) return std::nullopt;
    std::string text;
    formatString(text, "%s \"%.*s\" cannot be a folder of the store: %s", key,
                 static_cast<int>(std::min<std::size_t>(value.size(), kQuotedMax)), value.data(), why->c_str());
    return text;
}

// Longer numbers than an account index can reach are not account sections.
bool isSectionNumber(std::string_view name) { return allDecimalDigits(name) && name[0] != '0' && name.size() <= 10; }

// Numbers as text, compared by value: a longer number is the larger.
bool numberLess(std::string_view a, std::string_view b) { return a.size() != b.size() ? a.size() < b.size() : a < b; }

}  // namespace

std::optional<std::string> accountFolderProblem(const AccountValues& account) {
    if (auto problem = keyProblem("D", account.domain)) return problem;
    return keyProblem("U", account.user);
}

std::vector<std::string> sectionsAfterGap(const std::vector<std::string>& sectionNames, int missing) {
    const std::string gap = std::to_string(missing);
    std::vector<std::string> later;
    for (const std::string& name : sectionNames) {
        if (isSectionNumber(name) && numberLess(gap, name)) later.push_back(name);
    }
    std::sort(later.begin(), later.end(), numberLess);
    later.erase(std::unique(later.begin(), later.end()), later.end());
    return later;
}

std::string listEndsAtGapText(int missing, bool present, const std::vector<std::string>& later) {
    std::string text;
    formatString(text, "The account list ends at [%d], which %s; not read:", missing,
                 present ? "has no Status" : "is missing");
    const std::size_t named = std::min(later.size(), kNamedLaterSections);
    for (std::size_t i = 0; i < named; ++i) formatString(text, " [%s]", later[i].c_str());
    if (later.size() > named) formatString(text, " and %lu more", static_cast<unsigned long>(later.size() - named));
    return text;
}

}  // namespace rvo
