#pragma once
// Handler of the progress dialog: walks the account list, up to PARALLEL
// accounts at once, each in its own session on its own worker; tries an
// account again after a failure that says "not now" (RETRIES); keeps the
// run's report; and ends the run at the end of the list or on Cancel.
//
// With PARALLEL 1 (or missing) the dialog and the log are those of one
// account after another: the title names the running account's user, the
// list shows its progress.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/core/account_naming.h"
#include "batch/core/retry_rule.h"
#include "batch/core/run_report.h"
#include "batch/core/slot_plan.h"
#include "batch/win32/account_session_factory.h"
#include "engine/core/session/session_ending.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/win32/net/socket_session.h"
#include "engine/win32/session/running_sessions.h"
#include "engine/win32/ui/dialog_control.h"
#include "engine/win32/ui/dialog_progress_view.h"
#include "engine/win32/ui/dialog_window.h"
#include "engine/win32/ui/row_progress_view.h"

namespace rvo {

class AccountRecord;

// Posted by a session's worker as its last act; wParam is its result,
// lParam its slot and serial (see sessionFinishParam).
inline constexpr UINT WM_SESSION_FINISHED = WM_USER + 200;
// An account passed over without a session (already migrated, skipped, not
// made); wParam is its position in the list.
inline constexpr UINT WM_ACCOUNT_PASSED = WM_USER + 201;

// The values a run is shaped by that tests shorten.
struct ControllerLimits {
    // How long a finished or stopped session's worker is waited for before
    // it is kept aside until the program's end.
    unsigned long endWaitMs = 10000;
    RetryLimits retry;
    // The folder the report's "logs\..." name is taken from: the program's
    // folder (where the daily log lies) when empty.
    std::string reportBase;
};

class Controller : public DialogWindow {
public:
    static constexpr const char* kLogName = "Controller Object";

    // `skipPauseMs`: how long the "already migrated" caption of a skipped
    // account stays before the next account starts (one account at a time).
    // `accountsPath`: the account list, import\accounts.ini next to the
    // program when empty.
    Controller(LogSink& log, AccountSessionFactory& sessions, unsigned long skipPauseMs = 1000,
               std::string accountsPath = {}, ControllerLimits limits = {});
    // A session whose worker still runs is let go, never freed under it.
    ~Controller() override;

    // After the message loop, before the program lets go of the log and
    // Windows Sockets: asks every session still running to stop and waits
    // for their workers, at most `boundMs` in all, logging the wait. Frees
    // each session that has ended; false when a worker is still running.
    bool endSessions(unsigned long boundMs);

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    INT_PTR onDestroy() override;

    // True once the dialog has been destroyed (also during its own creation,
    // when there is no account to migrate).
    bool dialogDestroyed() const { return dialogDestroyed_; }
    // The report of this run: its file and what it says so far.
    const std::string& reportPath() const { return reportPath_; }
    const RunReport* report() const { return report_.get(); }

private:
    // One place a running account occupies.
    struct Slot {
        std::optional<std::size_t> account;  // position in the list
        int retries = 0;
        // The account's session is already the one reconnect allowed.
        bool reconnected = false;
        bool waiting = false;  // a back-off timer runs
        bool started = false;  // a session of the account has been started
        ULONGLONG firstStart = 0;
        // What the account's earlier sessions of this run stored: a retry or
        // the reconnect starts a new session, whose ending counts its own only.
        std::uint64_t storedBefore = 0;
        std::uint64_t bytesBefore = 0;
    };
    // One account of the list, read once at the run's start.
    struct Account {
        int index = 0;
        std::string section;
        std::string user;
        std::string domain;
        int protocol = 0;
        int status = 0;
        AccountValues values;
    };

    void beginRun();
    // Starts accounts while the plan gives one.
    void startAccounts();
    void startAccount(std::size_t account);
    // Makes and starts the session of the slot's account; false when the
    // account was passed over instead (its row says why).
    bool startSession(std::size_t slot);
    // startSession for a reconnect or a retry: a failure passes the account over.
    void relaunch(std::size_t slot);
    void sessionEnded(std::size_t slot, std::uint32_t serial, int result);
    // The retry's wait is over: the same account in a new session.
    void retryAccount(std::size_t slot);
    // Records the account's result, and posts its end so the run goes on.
    void passOver(std::size_t account, AccountResult result);
    // Runs a step of starting the account; an exception from it passes the
    // account over, so a failing account cannot stall the run.
    template <typename Step>
    void passOverOnFailure(std::size_t account, Step step);
    // An account whose start failed: says so and passes it over.
    void passOverUnstarted(std::size_t account, const std::string& reason);
    // The account is over: its slot is free, the report written, the next
    // accounts started, and the run ended after the last one.
    void accountEnded(std::size_t account);
    void endRun();
    // Cancel, the Escape key and the close box: stops every running session
    // and ends the run.
    void cancel();
    // The account list has ended at `index`: names the numbered sections
    // after it that the gap keeps from being read.
    void reportListEnd(int index);
    void reportSummary();
    void writeReport();
    // One account of PARALLEL 1: the title from string 5 with its user name,
    // and the list's one column.
    void showAccount(const Account& account);
    // Several at once: the title with the run's counts, the totals below.
    void showRun();
    // A line of the controller about an account, with its tag.
    void reportAbout(std::size_t account, const std::string& text);
    LogSink& accountLog(std::size_t account);
    ProgressView* accountProgress(std::size_t slot, std::size_t account);
    std::optional<std::size_t> freeSlot() const;
    std::optional<std::size_t> slotOf(std::size_t account) const;
    std::chrono::seconds secondsSince(ULONGLONG start) const;
    void killTimers();

    AccountSessionFactory& sessions_;
    ListViewControl listView_;
    StaticTextControl staticText_;
    DialogProgressView progress_;
    std::string accountsPath_;
    unsigned long skipPauseMs_;
    ControllerLimits limits_;
    RunOptions options_;
    std::vector<Account> accounts_;
    std::unique_ptr<SlotPlan> plan_;
    std::unique_ptr<RunReport> report_;
    std::unique_ptr<RunningSessions> running_;
    std::vector<Slot> slots_;
    // Per account, made when it first starts and kept to the end: a worker
    // kept aside may still write through them.
    std::vector<std::unique_ptr<TaggedLogSink>> accountLogs_;
    std::unique_ptr<RowProgressView> rows_;
    std::vector<std::unique_ptr<RowProgressView::Row>> accountRows_;
    std::string reportPath_;
    ULONGLONG runStart_ = 0;
    // The account whose "already migrated" caption stands (one at a time).
    std::optional<std::size_t> pausedAccount_;
    std::uint64_t messagesDone_ = 0;
    std::uint64_t bytesDone_ = 0;
    bool columnAdded_ = false;
    bool dialogDestroyed_ = false;
    bool cancelled_ = false;
    bool runEnded_ = false;
    bool reportFailureLogged_ = false;
};

}  // namespace rvo
