// The rules of a run over many accounts, fed any bytes: a server's refusal
// line, a user name, a settings value, and a list of accounts with an order
// in which their sessions end. Each rule must keep its promise for any
// input: a recognised refusal is always one worth retrying and its wait is
// bounded; a CSV field reads back as the bytes it was made from; a tag is one
// line and closed; a setting is within its range; the slot plan starts every
// account exactly once, never two of one user directory together, and out
// of list order only for an account whose twin was running.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "batch/core/account_naming.h"
#include "batch/core/retry_rule.h"
#include "batch/core/run_report.h"
#include "batch/core/run_settings.h"
#include "batch/core/slot_plan.h"

namespace {

void requireAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "run_rules_fuzz: invariant at line %d broken\n", line);
    __builtin_trap();
}
#define require(condition) requireAt((condition), __LINE__)

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// RFC 4180 reading of one field.
std::string unquote(std::string_view field) {
    if (field.empty() || field[0] != '"') return std::string(field);
    require(field.size() >= 2 && field.back() == '"');
    std::string out;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        if (field[i] == '"') {
            require(i + 2 < field.size() && field[i + 1] == '"');
            ++i;
        }
        out.push_back(field[i]);
    }
    return out;
}

void checkPushback(std::string_view line) {
    const auto pushback = rvo::recogniseServerPushback(line);
    if (!pushback) return;
    require(pushback->end == rvo::SessionEnd::Throttled || pushback->end == rvo::SessionEnd::TemporaryFailure);
    require(rvo::isRetried(pushback->end));
    if (pushback->suggestedWait) {
        require(pushback->suggestedWait->count() >= 0);
        require(*pushback->suggestedWait <= rvo::kLongestSuggestedWait);
    }
    const rvo::RetryLimits limits;
    for (const int retry : {1, 2, 10, 1000}) {
        const auto wait = rvo::retryWait(limits, retry, pushback->suggestedWait);
        require(wait.count() >= 0 && wait <= limits.longestSuggestedWait);
    }
}

void checkTexts(std::string_view text) {
    require(unquote(rvo::csvField(text)) == text);
    const std::string tag = rvo::accountTag(2, 7, text);
    require(!hasLineBreak(tag));
    require(tag.size() <= rvo::kTaggedUserMax + 8);
    require(tag.find(']') == tag.size() - 1);
    require(rvo::accountTag(1, 7, text).empty());
    require(!hasLineBreak(rvo::retryLogText(1, 3, 7, text, std::chrono::seconds(10), rvo::SessionEnd::Stalled)));

    const auto parallel = rvo::parseParallel(text);
    require(parallel.accounts >= 1 && parallel.accounts <= rvo::kMaxParallel);
    require(!hasLineBreak(parallel.problem) && parallel.problem.size() < 200);
    const auto retries = rvo::parseRetries(text);
    require(retries.retries >= 0 && retries.retries <= rvo::kMaxRetries);
    require(!hasLineBreak(retries.problem) && retries.problem.size() < 200);
    const auto check = rvo::parseCheckOnly(text);
    require(check.checkOnly || text.empty() || text == "0");
    require(!hasLineBreak(check.problem));
}

// The first byte gives the slots; each next pair of bytes one account, whose
// user and domain come from a tiny alphabet so that twins are common; the
// rest chooses which running session ends next.
void checkSlotPlan(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const int slots = data[0] % 5;  // 0 is taken as 1
    std::size_t at = 1;
    std::vector<rvo::PlannedAccount> accounts;
    static const char* const kUsers[] = {"a", "A", "b", "\xe4", "\xc4", "c"};
    static const char* const kDomains[] = {"d", "D", "e"};
    while (at + 1 < size && accounts.size() < 24) {
        accounts.push_back({kUsers[data[at] % 6], kDomains[data[at + 1] % 3]});
        at += 2;
    }
    rvo::SlotPlan plan(accounts, slots);
    std::vector<int> starts(accounts.size(), 0);
    std::size_t highestStarted = 0;
    bool cancelled = false;
    for (std::size_t round = 0; !plan.over(); ++round) {
        require(round <= 2 * accounts.size() + 1);
        while (const auto next = plan.startNext()) {
            require(!cancelled);
            ++starts[*next];
            if (*next < highestStarted) {
                bool hasTwin = false;
                for (std::size_t i = 0; i < accounts.size(); ++i)
                    hasTwin |= i != *next && rvo::sameUserDirectory(accounts[i], accounts[*next]);
                require(hasTwin);
            }
            if (*next > highestStarted) highestStarted = *next;
        }
        std::vector<std::size_t> running;
        for (std::size_t i = 0; i < accounts.size(); ++i)
            if (plan.state(i) == rvo::SlotState::Running) running.push_back(i);
        require(!running.empty());
        require(running.size() <= static_cast<std::size_t>(slots < 1 ? 1 : slots));
        for (std::size_t a = 0; a < running.size(); ++a)
            for (std::size_t b = a + 1; b < running.size(); ++b)
                require(!rvo::sameUserDirectory(accounts[running[a]], accounts[running[b]]));
        const std::uint8_t choice = at < size ? data[at++] : 0;
        if (choice == 0xFF && !cancelled) {
            plan.cancel();
            cancelled = true;
        }
        plan.finished(running[choice % running.size()]);
    }
    const rvo::RunCounts counts = plan.counts();
    require(counts.running == 0 && counts.total == accounts.size());
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        require(starts[i] == (plan.state(i) == rvo::SlotState::NotStarted ? 0 : 1));
        require(cancelled || starts[i] == 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkPushback(text);
    checkTexts(text);
    checkSlotPlan(data, size);
    return 0;
}
