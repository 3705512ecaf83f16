#include "batch/core/run_report.h"

#include <array>
#include <cstdio>

#include "engine/core/text/format.h"

namespace rvo {

std::string_view accountOutcomeText(AccountOutcome outcome) {
    switch (outcome) {
        case AccountOutcome::Migrated: return "migrated";
        case AccountOutcome::AlreadyMigrated: return "already migrated";
        case AccountOutcome::LeftForNextRun: return "left for the next run";
        case AccountOutcome::Skipped: return "skipped";
        case AccountOutcome::Checked: return "checked";
        case AccountOutcome::NotAttempted: break;
    }
    return "not attempted";
}

AccountOutcome outcomeOf(SessionEnd end, bool checkOnly) {
    switch (end) {
        case SessionEnd::Completed: return checkOnly ? AccountOutcome::Checked : AccountOutcome::Migrated;
        case SessionEnd::AlreadyMigrated: return AccountOutcome::AlreadyMigrated;
        case SessionEnd::SettingsMistake: return AccountOutcome::Skipped;
        default: return AccountOutcome::LeftForNextRun;
    }
}

namespace {

bool isSuccess(AccountOutcome outcome) {
    return outcome == AccountOutcome::Migrated || outcome == AccountOutcome::Checked;
}

std::string protocolText(int protocol) {
    if (protocol == 1) return "IMAP";
    if (protocol == 2) return "POP3";
    return std::to_string(protocol);
}

constexpr std::array<AccountOutcome, 6> kOutcomeOrder = {
    AccountOutcome::Migrated, AccountOutcome::AlreadyMigrated, AccountOutcome::Checked,
    AccountOutcome::LeftForNextRun, AccountOutcome::Skipped, AccountOutcome::NotAttempted};

}  // namespace

RunReport::RunReport(std::vector<ReportedAccount> accounts)
    : accounts_(std::move(accounts)), results_(accounts_.size()) {
    for (AccountResult& result : results_) result.reason = std::string(kNotReachedReason);
}

void RunReport::record(std::size_t index, AccountResult result) {
    if (index >= results_.size()) return;
    if (isSuccess(result.outcome)) {
        result.reason.clear();
    } else if (result.reason.size() > kMaxReportReason) {
        result.reason.resize(kMaxReportReason);
    }
    results_[index] = std::move(result);
}

std::string csvField(std::string_view value) {
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
    std::string out;
    out.reserve(value.size() + 2);
    out.push_back('"');
    for (const char c : value) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

const std::vector<std::string_view>& reportColumns() {
    static const std::vector<std::string_view> columns = {
        "Section", "User",   "Domain",  "Protocol", "Outcome", "Messages stored", "Recognised as stored",
        "Failed",  "Bytes stored", "Seconds", "Retries",  "Reason",
        // A check's counts; after the others, so readers of a migration's columns find them where they were.
        "Folders", "Messages to copy", "Bytes to copy"};
    return columns;
}

std::string RunReport::csv() const {
    std::string out;
    const auto& columns = reportColumns();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i) out.push_back(',');
        out.append(csvField(columns[i]));
    }
    out.append("\r\n");
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        const ReportedAccount& a = accounts_[i];
        const AccountResult& r = results_[i];
        const auto count = [&r](std::uint64_t CheckCounts::*field) {
            return r.check ? std::to_string((*r.check).*field) : std::string();
        };
        const std::array<std::string, 15> fields = {
            std::to_string(a.section),
            a.user,
            a.domain,
            protocolText(a.protocol),
            std::string(accountOutcomeText(r.outcome)),
            std::to_string(r.messagesStored),
            std::to_string(r.recognisedAsStored),
            std::to_string(r.failed),
            std::to_string(r.bytesStored),
            std::to_string(r.time.count()),
            std::to_string(r.retries),
            r.reason,
            count(&CheckCounts::folders),
            count(&CheckCounts::messages),
            count(&CheckCounts::bytes)};
        for (std::size_t f = 0; f < fields.size(); ++f) {
            if (f) out.push_back(',');
            out.append(csvField(fields[f]));
        }
        out.append("\r\n");
    }
    return out;
}

std::vector<std::string> RunReport::summaryLines(std::chrono::seconds runTime) const {
    std::uint64_t stored = 0, recognised = 0, failed = 0, bytes = 0;
    for (const AccountResult& r : results_) {
        stored += r.messagesStored;
        recognised += r.recognisedAsStored;
        failed += r.failed;
        bytes += r.bytesStored;
    }
    std::vector<std::string> lines;
    std::string accounts = "Accounts: " + std::to_string(results_.size());
    for (const AccountOutcome outcome : kOutcomeOrder) {
        std::size_t count = 0;
        for (const AccountResult& r : results_) count += r.outcome == outcome;
        if (count == 0) continue;
        accounts.append(", " + std::to_string(count) + " ");
        accounts.append(accountOutcomeText(outcome));
    }
    lines.push_back(std::move(accounts));

    lines.push_back("Messages: " + std::to_string(stored) + " stored, " + std::to_string(recognised) +
                    " recognised as stored, " + std::to_string(failed) + " failed");
    lines.push_back("Bytes stored: " + std::to_string(bytes));

    const long long total = runTime.count() < 0 ? 0 : static_cast<long long>(runTime.count());
    std::string time;
    formatString(time, "Time: %lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    lines.push_back(std::move(time));
    return lines;
}

std::string reportFileName(const std::tm& localStart) {
    char buffer[64] = {};
    const std::size_t n = std::strftime(buffer, sizeof buffer, "logs\\%Y%m%d_%H%M%S_report.csv", &localStart);
    return std::string(buffer, n);
}

}  // namespace rvo
