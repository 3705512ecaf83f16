#pragma once
// Which account starts next when several run at once. The controller owns
// the sessions and asks the plan, on the main thread, each time a slot may
// be free (at the start and after every account that ends):
//
//     while (auto next = plan.startNext()) startSession(*next);
//     ...
//     plan.finished(index);   // then ask again
//
// The rules:
//   - accounts start in list order;
//   - no more than `slots` run at once;
//   - two accounts with the same user directory (same U and same D, compared
//     as Windows compares folder names: letters without regard to case; see
//     sameUserDirectory) never run at once, since both would write the same folders and
//     the same POP3 records;
//   - an account whose twin is running is passed over, not waited for: the
//     accounts after it may start, and it starts as soon as its twin ends
//     (it is then the earliest waiting account, so it goes first). Holding
//     the list back would leave slots idle for the length of a whole
//     mailbox whenever the list names one user twice;
//   - every account starts exactly once; after cancel() none starts.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

// An account as the plan sees it: its user directory.
struct PlannedAccount {
    std::string user;    // U
    std::string domain;  // D
};

// Whether two accounts may write into the same user directory: U and D
// each equal ignoring ASCII letter case, with any byte above 0x7F taken to
// match any other such byte (the file system folds accented letters too).
bool sameUserDirectory(const PlannedAccount& a, const PlannedAccount& b);

enum class SlotState { Waiting, Running, Done, NotStarted /* left waiting when the run was cancelled */ };

struct RunCounts {
    std::size_t done = 0;
    std::size_t running = 0;
    std::size_t left = 0;  // neither done nor running
    std::size_t total = 0;
};

class SlotPlan {
public:
    // `slots` below 1 is taken as 1.
    SlotPlan(std::vector<PlannedAccount> accounts, int slots);

    // The account to start now, marked running; empty when every slot is
    // busy, every waiting account has its twin running, or none waits.
    std::optional<std::size_t> startNext();

    // The account at `index` has ended (for whatever reason). Ignored for
    // an account that is not running.
    void finished(std::size_t index);

    // No account starts any more; those still waiting become NotStarted
    // (their report rows say `not attempted`). Running ones still end with
    // finished().
    void cancel();

    SlotState state(std::size_t index) const { return states_.at(index); }
    RunCounts counts() const;
    // Nothing is running and nothing will start: the run is over.
    bool over() const;

private:
    std::vector<PlannedAccount> accounts_;
    std::vector<SlotState> states_;
    std::size_t slots_;
    std::size_t running_ = 0;
    std::size_t firstWaiting_ = 0;  // no account before it waits
    bool cancelled_ = false;
};

// The dialog title with several accounts at once: "Migrating 5 of 120
// accounts: 3 done, 2 running, 115 left" ("Checking" for a check-only run);
// the first number is how many have been reached so far.
std::string runTitleText(const RunCounts& counts, bool checkOnly);

}  // namespace rvo
