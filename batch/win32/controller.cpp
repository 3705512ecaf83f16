#include "batch/win32/controller.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "batch/core/account_rules.h"
#include "batch/win32/account_record.h"
#include "batch/win32/profile.h"
#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "engine/win32/platform/module_path.h"
#include "engine/win32/platform/whole_file.h"
#include "resources/resource_ids.h"

namespace rvo {

namespace {
constexpr const char* kUnknownError = "Unknown Error in Controller";
constexpr UINT_PTR kSkipTimer = 1;
// One back-off timer per slot: kRetryTimer + slot.
constexpr UINT_PTR kRetryTimer = 100;
constexpr const char* kCancelledReason = "the run was cancelled";

AccountResult outcomeWithReason(AccountOutcome outcome, std::string reason) {
    AccountResult result;
    result.outcome = outcome;
    result.reason = std::move(reason);
    return result;
}

// The slot and serial of a finished session in one message parameter (the
// serial cut to 24 bits: it only has to differ from the slot's last few).
LPARAM sessionFinishParam(const SessionFinish& finish) {
    return static_cast<LPARAM>(((finish.serial & 0xFFFFFFu) << 8) | (finish.slot & 0xFFu));
}

// Endings a server's "not now" text never turns into a retry: what failed
// here would fail again, and a cancelled account stays cancelled.
bool keepsItsEnd(SessionEnd end) {
    switch (end) {
        case SessionEnd::Completed:
        case SessionEnd::CertificateRefused:
        case SessionEnd::SettingsMistake:
        case SessionEnd::StoreWriteFailed:
        case SessionEnd::DatabaseFailed:
        case SessionEnd::Cancelled:
            return true;
        default:
            return false;
    }
}
}  // namespace

Controller::Controller(LogSink& log, AccountSessionFactory& sessions, unsigned long skipPauseMs,
                       std::string accountsPath, ControllerLimits limits)
    : DialogWindow(log, kLogName),
      sessions_(sessions),
      listView_(IDC_PROGRESS_LIST),
      staticText_(IDC_MESSAGE_TEXT),
      progress_(listView_, staticText_),
      accountsPath_(accountsPath.empty() ? AccountRecord::defaultPath() : std::move(accountsPath)),
      skipPauseMs_(skipPauseMs),
      limits_(std::move(limits)) {
    addControl(listView_);
    addControl(staticText_);
}

Controller::~Controller() {
    // A worker kept running past every wait still writes through its
    // account's log and row: those are let go with it, never freed under it.
    if (running_ && running_->anyAlive()) {
        for (auto& sink : accountLogs_) (void)sink.release();
        for (auto& row : accountRows_) (void)row.release();
        (void)rows_.release();
    }
}

INT_PTR Controller::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // The close box (SC_CLOSE, which the dialog manager turns into WM_CLOSE)
    // ends the run as Cancel does; the base would destroy the dialog with
    // the sessions still running.
    if (message == WM_CLOSE) {
        cancel();
        return 0;
    }
    if (DialogWindow::handleMessage(message, wParam, lParam) == 0) return 0;
    switch (message) {
        case DialogProgressView::kShowMessage:
            progress_.showPending();
            return 0;
        case RowProgressView::kShowMessage:
            if (rows_) rows_->showPending();
            return 0;
        case WM_INITDIALOG:
            beginRun();
            return 1;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) cancel();
            return 0;
        case WM_SESSION_FINISHED: {
            const auto packed = static_cast<std::uint32_t>(lParam);
            sessionEnded(packed & 0xFFu, packed >> 8, static_cast<int>(wParam));
            return 0;
        }
        case WM_ACCOUNT_PASSED:
            accountEnded(static_cast<std::size_t>(wParam));
            return 0;
        case WM_TIMER:
            if (wParam == kSkipTimer) {
                KillTimer(window(), kSkipTimer);
                if (const std::optional<std::size_t> paused = std::exchange(pausedAccount_, std::nullopt))
                    accountEnded(*paused);
                return 0;
            }
            if (wParam >= kRetryTimer && wParam < kRetryTimer + slots_.size()) {
                retryAccount(wParam - kRetryTimer);
                return 0;
            }
            return 1;
        default:
            return 1;
    }
}

INT_PTR Controller::onDestroy() {
    dialogDestroyed_ = true;
    return DialogWindow::onDestroy();
}

void Controller::beginRun() {
    runStart_ = GetTickCount64();
    try {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        std::tm local{};
        local.tm_year = now.wYear - 1900;
        local.tm_mon = now.wMonth - 1;
        local.tm_mday = now.wDay;
        local.tm_hour = now.wHour;
        local.tm_min = now.wMinute;
        local.tm_sec = now.wSecond;
        reportPath_ = (limits_.reportBase.empty() ? moduleDirectory() : limits_.reportBase) + reportFileName(local);
        // The list as it stands at the start: sections 1, 2, ... up to the first one missing.
        for (int index = 1;; ++index) {
            const AccountRecord record(index, accountsPath_);
            if (record.status() == -1) break;
            accounts_.push_back(Account{index, record.section(), record.user(), record.domain(), record.protocol(),
                                        record.status(), record.values()});
        }
    } catch (const Exception& e) {
        log().report(kLogName, e.text());
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    std::vector<ReportedAccount> reported;
    std::vector<PlannedAccount> planned;
    for (const Account& a : accounts_) {
        reported.push_back(ReportedAccount{a.index, a.user, a.domain, a.protocol});
        planned.push_back(PlannedAccount{a.user, a.domain});
    }
    report_ = std::make_unique<RunReport>(std::move(reported));
    if (accounts_.empty()) {
        log().report(kLogName, "Invalid Information");
        endRun();
        return;
    }
    try {
        sessions_.reportRunSettings(log());
        options_ = sessions_.runOptions();
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    if (options_.parallel < 1) options_.parallel = 1;
    const auto parallel = static_cast<std::size_t>(options_.parallel);
    plan_ = std::make_unique<SlotPlan>(std::move(planned), options_.parallel);
    slots_.assign(parallel, Slot{});
    accountLogs_.resize(accounts_.size());
    accountRows_.resize(accounts_.size());
    running_ = std::make_unique<RunningSessions>(
        log(), kLogName, parallel, limits_.endWaitMs,
        // On the worker: only a message, the dialog's thread does the rest.
        [this](const SessionFinish& finish) {
            PostMessageA(window(), WM_SESSION_FINISHED, static_cast<WPARAM>(finish.result),
                         sessionFinishParam(finish));
        });
    if (parallel > 1) {
        rows_ = std::make_unique<RowProgressView>(listView_, parallel);
        columnAdded_ = listView_.insertColumn(0, listView_.clientWidth(), "Information");
    }
    // The report is written in every run, from its start, whatever the keys.
    writeReport();
    startAccounts();
}

void Controller::startAccounts() {
    while (plan_ && !cancelled_ && !runEnded_ && !dialogDestroyed_) {
        const std::optional<std::size_t> next = plan_->startNext();
        if (!next) break;
        startAccount(*next);
    }
    if (options_.parallel > 1 && !runEnded_) showRun();
}

std::optional<std::size_t> Controller::freeSlot() const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (!slots_[i].account) return i;
    return std::nullopt;
}

std::optional<std::size_t> Controller::slotOf(std::size_t account) const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i].account == account) return i;
    return std::nullopt;
}

LogSink& Controller::accountLog(std::size_t account) {
    // One account at a time: the log's lines exactly as they have always been.
    if (options_.parallel <= 1) return log();
    auto& sink = accountLogs_.at(account);
    if (!sink) {
        const Account& a = accounts_[account];
        sink = std::make_unique<TaggedLogSink>(log(), accountTag(options_.parallel, a.index, a.user));
    }
    return *sink;
}

void Controller::reportAbout(std::size_t account, const std::string& text) {
    accountLog(account).report(kLogName, text);
}

ProgressView* Controller::accountProgress(std::size_t slot, std::size_t account) {
    if (!rows_) return &progress_;
    auto& row = accountRows_.at(account);
    if (!row) row = std::make_unique<RowProgressView::Row>(*rows_, slot, taggedUserName(accounts_[account].user) + ": ");
    return row.get();
}

std::chrono::seconds Controller::secondsSince(ULONGLONG start) const {
    return std::chrono::seconds(static_cast<long long>((GetTickCount64() - start) / 1000));
}

void Controller::showAccount(const Account& account) {
    SetWindowTextA(window(), accountTitleText(instance(), account.user).c_str());
    // One column for the whole run; a column per account would widen the list sideways.
    if (!columnAdded_) columnAdded_ = listView_.insertColumn(0, listView_.clientWidth(), "Information");
}

void Controller::showRun() {
    if (!plan_) return;
    const RunCounts counts = plan_->counts();
    SetWindowTextA(window(), runTitleText(counts, options_.checkOnly).c_str());
    std::string text;
    formatString(text, "Accounts: %lu done, %lu running, %lu left\nMessages stored: %llu, bytes stored: %llu",
                 static_cast<unsigned long>(counts.done), static_cast<unsigned long>(counts.running),
                 static_cast<unsigned long>(counts.left), static_cast<unsigned long long>(messagesDone_),
                 static_cast<unsigned long long>(bytesDone_));
    staticText_.setText(text);
}

template <typename Step>
void Controller::passOverOnFailure(std::size_t account, Step step) {
    try {
        step();
    } catch (const Exception& e) {
        reportAbout(account, e.text());
        passOverUnstarted(account, e.text());
    } catch (...) {
        reportAbout(account, kUnknownError);
        passOverUnstarted(account, kUnknownError);
    }
}

void Controller::startAccount(std::size_t account) {
    // The plan never runs more accounts than there are slots.
    const std::optional<std::size_t> slot = freeSlot();
    if (!slot) return;
    slots_[*slot] = Slot{account, 0, false, false, false, GetTickCount64()};
    const Account& a = accounts_[account];
    passOverOnFailure(account, [&] {
        if (options_.parallel <= 1) showAccount(a);
        if (a.protocol != kProtocolImap && a.protocol != kProtocolPop3) {
            // Nothing would ever report this account's end: skip it so the run goes on.
            std::string reason;
            formatString(reason, "protocol A=%d is neither 1 (IMAP4) nor 2 (POP3)", a.protocol);
            reportAbout(account, formatBounded("Skipping account [%s] of user %s: %s", a.section.c_str(),
                                               a.user.c_str(), reason.c_str()));
            passOver(account, outcomeWithReason(AccountOutcome::Skipped, reason));
            return;
        }
        if (a.status == 1) {
            const std::string text = formatBounded("Skipping %s. User already migrated.", a.user.c_str());
            const SessionKind& kind = a.protocol == kProtocolImap ? kImapSessionKind : kPop3SessionKind;
            accountLog(account).report(kind.objectName, text);
            const AccountResult result =
                outcomeWithReason(AccountOutcome::AlreadyMigrated, "Status is 1 in the account list");
            if (options_.parallel <= 1) {
                // One at a time: the caption stands for the pause before the next account.
                staticText_.setText(text);
                report_->record(account, result);
                pausedAccount_ = account;
                if (SetTimer(window(), kSkipTimer, skipPauseMs_, nullptr) != 0) return;
                pausedAccount_.reset();
            }
            passOver(account, result);
            return;
        }
        if (const std::optional<std::string> problem = accountFolderProblem(a.values)) {
            // U and D become folders of the store; an unsafe one would write outside the user's folder.
            reportAbout(account, formatBounded("Skipping account [%s] of user %s: %s", a.section.c_str(),
                                               a.user.c_str(), problem->c_str()));
            passOver(account, outcomeWithReason(AccountOutcome::Skipped, *problem));
            return;
        }
        startSession(*slot);
    });
}


void Controller::passOverUnstarted(std::size_t account, const std::string& reason) {
    // No session runs for this account, so none will report an end: go on without it.
    if (dialogDestroyed_ || runEnded_) return;
    reportAbout(account, formatBounded("Account [%d] was not started; the run goes on with the next account",
                                       accounts_[account].index));
    passOver(account, outcomeWithReason(AccountOutcome::LeftForNextRun, reason));
}

bool Controller::startSession(std::size_t slot) {
    Slot& s = slots_[slot];
    const std::size_t account = *s.account;
    const Account& a = accounts_[account];
    std::unique_ptr<SocketSession> session =
        sessions_.create(a.protocol, a.index, accountLog(account), running_->nextObserver(slot));
    if (!session) {
        reportAbout(account, formatBounded("The session of account [%s] could not be made; the run goes on",
                                           a.section.c_str()));
        passOver(account, outcomeWithReason(AccountOutcome::LeftForNextRun, "the session could not be made"));
        return false;
    }
    running_->start(slot, std::move(session), accountProgress(slot, account));
    s.started = true;
    return true;
}

void Controller::relaunch(std::size_t slot) {
    passOverOnFailure(*slots_[slot].account, [&] { startSession(slot); });
}

void Controller::passOver(std::size_t account, AccountResult result) {
    if (const std::optional<std::size_t> slot = slotOf(account)) {
        result.retries = slots_[*slot].retries;
        result.time = secondsSince(slots_[*slot].firstStart);
        result.messagesStored += slots_[*slot].storedBefore;
        result.bytesStored += slots_[*slot].bytesBefore;
    }
    report_->record(account, std::move(result));
    // Through the queue, as a session's end comes: a long run of accounts
    // passed over never holds the dialog's thread.
    if (!PostMessageA(window(), WM_ACCOUNT_PASSED, static_cast<WPARAM>(account), 0)) accountEnded(account);
}

void Controller::sessionEnded(std::size_t slot, std::uint32_t serial, int result) {
    if (cancelled_ || runEnded_ || !running_) return;
    // The word of a session already replaced (or of one kept aside) changes nothing.
    if (slot >= slots_.size() || !slots_[slot].account ||
        !running_->isCurrent(SessionFinish{slot, serial, result}))
        return;
    try {
        Slot& s = slots_[slot];
        const std::size_t account = *s.account;
        const Account& a = accounts_[account];
        const std::optional<SessionEnding> finished = running_->finish(slot);
        SessionEnding ending = finished ? *finished : SessionEnding{};
        if (!finished) ending.reason = "the session did not end";
        // The report counts the whole run of the account, not its last
        // session: what the earlier sessions stored, the later ones find
        // stored, and that is this run's work, not an earlier run's.
        const std::uint64_t storedBefore = s.storedBefore;
        s.storedBefore += ending.stored;
        s.bytesBefore += ending.bytesStored;
        messagesDone_ += ending.stored;
        bytesDone_ += ending.bytesStored;

        if (result == kSessionTokenExpired && !s.reconnected) {
            s.reconnected = true;
            reportAbout(account, formatBounded("The server ended the session of account [%s] because its access "
                                               "token expired; it reconnects once with a new token",
                                               a.section.c_str()));
            if (options_.parallel <= 1) listView_.deleteAllItems();
            relaunch(slot);
            return;
        }

        // The session's word on its dialogue decides Status, as it always
        // has; the ending agrees with it so the report cannot say otherwise.
        SessionEnd end = ending.end;
        if (result == 0)
            end = SessionEnd::Completed;
        else if (end == SessionEnd::Completed)
            end = SessionEnd::Failed;
        std::optional<std::chrono::milliseconds> suggested;
        if (!keepsItsEnd(end)) {
            if (const std::optional<ServerPushback> pushback = recogniseServerPushback(ending.lastRefusal)) {
                end = pushback->end;
                suggested = pushback->suggestedWait;
            }
        }
        const int retry = s.retries + 1;
        if (mayRetry(end, retry, options_.retries)) {
            s.retries = retry;
            const std::chrono::milliseconds wait = retryWait(limits_.retry, retry, suggested);
            const std::string waitText = retryLogText(retry, options_.retries, a.index, a.user, wait, end);
            reportAbout(account, waitText);
            // The row says why the account stands still.
            if (rows_) rows_->setRow(slot, taggedUserName(a.user) + ": " + waitText);
            s.waiting = true;
            // The slot stays taken while the account waits.
            const auto ms = static_cast<UINT>(wait.count() < 1 ? 1 : wait.count());
            if (SetTimer(window(), kRetryTimer + slot, ms, nullptr) == 0) retryAccount(slot);
            return;
        }

        AccountResult done;
        done.outcome = outcomeOf(end, options_.checkOnly);
        done.messagesStored = s.storedBefore;
        done.recognisedAsStored = ending.recognised - std::min(ending.recognised, storedBefore);
        done.failed = ending.failed;
        done.bytesStored = s.bytesBefore;
        if (options_.checkOnly) {
            done.check = ending.check;
            done.recognisedAsStored = ending.check.alreadyStored;
        }
        done.retries = s.retries;
        done.time = secondsSince(s.firstStart);
        done.reason = ending.reason.empty() ? std::string(sessionEndText(end)) : ending.reason;
        // Never in a check: it writes nothing into the list.
        if (result == 0 && !options_.checkOnly) AccountRecord(a.index, accountsPath_).writeStatus(1);
        report_->record(account, std::move(done));
        accountEnded(account);
    } catch (const Exception& e) {
        log().report(kLogName, e.text());
        if (slots_[slot].account) accountEnded(*slots_[slot].account);
    } catch (...) {
        log().report(kLogName, kUnknownError);
        if (slots_[slot].account) accountEnded(*slots_[slot].account);
    }
}

void Controller::retryAccount(std::size_t slot) {
    KillTimer(window(), kRetryTimer + slot);
    if (cancelled_ || runEnded_ || slot >= slots_.size() || !slots_[slot].account || !slots_[slot].waiting) return;
    slots_[slot].waiting = false;
    if (options_.parallel <= 1) listView_.deleteAllItems();
    // The same account again: its records make the new session resume.
    relaunch(slot);
}

void Controller::accountEnded(std::size_t account) {
    if (cancelled_ || runEnded_ || !plan_) return;
    try {
        if (const std::optional<std::size_t> slot = slotOf(account)) {
            slots_[*slot] = Slot{};
            if (rows_) rows_->setRow(*slot, std::nullopt);
        }
        plan_->finished(account);
        if (options_.parallel <= 1) {
            listView_.deleteAllItems();
            staticText_.setText("Processing []\nMessage [0] of [0] for this User");
        }
        writeReport();
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    startAccounts();
    if (plan_->over() && !runEnded_) endRun();
}

void Controller::endRun() {
    runEnded_ = true;
    reportListEnd(static_cast<int>(accounts_.size()) + 1);
    reportSummary();
    writeReport();
    DestroyWindow(window());
}

void Controller::reportListEnd(int index) {
    // Only a log line: nothing here may keep the run from ending.
    try {
        const std::vector<std::string> names = Profile(accountsPath_).sectionNames();
        const std::vector<std::string> later = sectionsAfterGap(names, index);
        if (later.empty()) return;
        const std::string section = std::to_string(index);
        bool present = false;
        for (const std::string& name : names) present = present || name == section;
        log().report(kLogName, listEndsAtGapText(index, present, later));
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
}

void Controller::reportSummary() {
    // Only a run that names one of its keys gets the closing lines: without
    // them the log stays exactly as it has always been.
    if (!options_.keysWritten || !report_) return;
    for (const std::string& line : report_->summaryLines(secondsSince(runStart_))) log().report(kLogName, line);
}

void Controller::writeReport() {
    if (!report_ || reportPath_.empty()) return;
    const WholeFileResult written = writeWholeFile(reportPath_, report_->csv());
    if (written == WholeFileResult::Ok || reportFailureLogged_) return;
    // Once a run: the next write may well succeed, and the log is no place for a line per account.
    reportFailureLogged_ = true;
    log().report(kLogName, formatBounded("The run report could not be written to %s", reportPath_.c_str()));
}

void Controller::killTimers() {
    KillTimer(window(), kSkipTimer);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        KillTimer(window(), kRetryTimer + i);
        slots_[i].waiting = false;
    }
}

void Controller::cancel() {
    if (cancelled_) return;
    cancelled_ = true;
    try {
        // Under the name of the session that was running (its worker has
        // not ended); the IMAP session's when none was.
        std::string_view name = kImapSessionKind.objectName;
        if (running_)
            if (const std::optional<std::size_t> slot = running_->firstRunning())
                name = running_->session(*slot)->kind().objectName;
        log().report(name, "Migration canceled by user");
        killTimers();
        if (plan_) plan_->cancel();
        sessions_.cancelRun();
        for (std::size_t i = 0; running_ && i < slots_.size(); ++i) {
            // A worker that outlives the stop wait is waited for by endSessions.
            SocketSession* session = running_->session(i);
            if (session && !session->stop())
                log().report(kLogName, "The stopped session has not ended yet; the program waits for it at its end");
        }
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const Slot& s = slots_[i];
            // An account passed over keeps its row; a started one may hold
            // part of its messages, and nothing marks it migrated.
            if (!s.account || !s.started) continue;
            AccountResult left = outcomeWithReason(AccountOutcome::LeftForNextRun, kCancelledReason);
            // Freed by endSessions, once every worker has had its chance to end.
            left.messagesStored = s.storedBefore;
            left.bytesStored = s.bytesBefore;
            if (const std::optional<SessionEnding> ending = running_->endingIfEnded(i)) {
                left.messagesStored += ending->stored;
                left.recognisedAsStored = ending->recognised - std::min(ending->recognised, s.storedBefore);
                left.failed = ending->failed;
                left.bytesStored += ending->bytesStored;
            }
            left.retries = s.retries;
            left.time = secondsSince(s.firstStart);
            report_->record(*s.account, std::move(left));
        }
        reportSummary();
        writeReport();
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    runEnded_ = true;
    DestroyWindow(window());
}

bool Controller::endSessions(unsigned long boundMs) { return !running_ || running_->endAll(boundMs); }

}  // namespace rvo
