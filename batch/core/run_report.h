#pragma once
// The report of a run: one row per account of the list, in list order, so
// that after a weekend the administrator sees which accounts are done, which
// are not and why. The controller makes one RunReport from the list before
// the first account starts (every row then says `not attempted`), records
// each account's result as it ends, and writes csv() through a temporary
// name and a rename. A run that is cancelled or ends early therefore still
// gives a complete file whose unreached rows say so.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/core/retry_rule.h"
#include "engine/core/session/session_ending.h"

namespace rvo {

enum class AccountOutcome {
    NotAttempted,     // the run ended (Cancel, the close box) before the account started
    Migrated,         // every message stored or recognised as stored
    AlreadyMigrated,  // Status 1 in the list
    LeftForNextRun,   // started but not finished: a failure, after any retries
    Skipped,          // an unsafe name or setting: never started
    Checked,          // CHECK_ONLY: signed in and counted, nothing written
};

// "migrated", "already migrated", "left for the next run", "not attempted",
// "skipped", "checked": the words of the report's outcome column.
std::string_view accountOutcomeText(AccountOutcome outcome);

// The outcome of an account whose last session ended with `end` (after any
// retries): a completed session is `migrated` (`checked` in a check-only
// run), Status 1 is `already migrated`, a settings mistake found before or
// at the start is `skipped`, and everything else, Cancel of a running
// account included, is `left for the next run`: the account may hold part
// of its messages and the next run resumes it.
AccountOutcome outcomeOf(SessionEnd end, bool checkOnly);

// What an account is in the list.
struct ReportedAccount {
    int section = 0;
    std::string user;
    std::string domain;
    int protocol = 0;  // 1 IMAP, 2 POP3; anything else is written as its number
};

// What became of it.
struct AccountResult {
    AccountOutcome outcome = AccountOutcome::NotAttempted;
    std::uint64_t messagesStored = 0;
    std::uint64_t recognisedAsStored = 0;  // already in the store from an earlier run
    std::uint64_t failed = 0;
    std::uint64_t bytesStored = 0;
    std::chrono::seconds time{0};
    int retries = 0;
    // The first reason in words; ignored for `migrated` and `checked` (a
    // success has none). Cut to kMaxReportReason bytes.
    std::string reason;
    // What a check counted (CHECK_ONLY): the folders, messages and bytes a
    // migration would copy; its messages already stored go in
    // recognisedAsStored. Empty columns for a migration.
    std::optional<CheckCounts> check;
};
inline constexpr std::size_t kMaxReportReason = 512;

// The reason a row carries until its account is reached.
inline constexpr std::string_view kNotReachedReason = "the run ended before this account was started";

class RunReport {
public:
    explicit RunReport(std::vector<ReportedAccount> accounts);

    // Records the result of the account at `index` (its position in the
    // list). A later call for the same account replaces the earlier one.
    // An index outside the list is ignored.
    void record(std::size_t index, AccountResult result);

    std::size_t size() const { return accounts_.size(); }
    const AccountResult& result(std::size_t index) const { return results_.at(index); }

    // The whole file: a header row and one row per account, CRLF line ends,
    // RFC 4180 quoting. Bytes of names are written as they are (the
    // program's code page).
    std::string csv() const;

    // The run's closing lines for the log: accounts per outcome, messages,
    // bytes and the time the run took.
    std::vector<std::string> summaryLines(std::chrono::seconds runTime) const;

private:
    std::vector<ReportedAccount> accounts_;
    std::vector<AccountResult> results_;
};

// One CSV field: as it is, or in double quotes with quotes doubled when it
// holds a comma, a quote, CR or LF.
std::string csvField(std::string_view value);

// The header row's fields, in column order.
const std::vector<std::string_view>& reportColumns();

// "logs\\20261210_142233_report.csv" for 10 December 2026, 14:22:33 local
// time: beside the daily log, one file per run.
std::string reportFileName(const std::tm& localStart);

}  // namespace rvo
