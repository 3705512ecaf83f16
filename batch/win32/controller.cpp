#include "batch/win32/controller.h"

#include "batch/core/account_rules.h"
#include "batch/win32/account_record.h"
#include "batch/win32/profile.h"
#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "resources/resource_ids.h"

namespace rvo {

namespace {
constexpr const char* kUnknownError = "Unknown Error in Controller";
constexpr std::size_t kTitleMax = 255;
// A worker that has posted its end finishes at once; this bounds a stuck one.
constexpr unsigned long kRetireWaitMs = 10000;
constexpr UINT_PTR kSkipTimer = 1;
}  // namespace

Controller::Controller(LogSink& log, AccountSessionFactory& sessions, unsigned long skipPauseMs,
                       std::string accountsPath)
    : DialogWindow(log, kLogName),
      sessions_(sessions),
      listView_(IDC_PROGRESS_LIST),
      staticText_(IDC_MESSAGE_TEXT),
      progress_(listView_, staticText_),
      accountsPath_(accountsPath.empty() ? AccountRecord::defaultPath() : std::move(accountsPath)),
      skipPauseMs_(skipPauseMs) {
    addControl(listView_);
    addControl(staticText_);
}

Controller::~Controller() {
    // A stopped session whose worker is still running must not be freed under it.
    for (auto* slot : {&imapSession_, &pop3Session_}) {
        if (*slot && !(*slot)->waitForEnd(0)) (void)slot->release();
    }
    for (auto& session : retired_) {
        if (session && !session->waitForEnd(0)) (void)session.release();
    }
}

AccountRecord Controller::record(int index) const { return AccountRecord(index, accountsPath_); }

INT_PTR Controller::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // The close box (SC_CLOSE, which the dialog manager turns into WM_CLOSE)
    // ends the run as Cancel does; the base would destroy the dialog with
    // the session still running.
    if (message == WM_CLOSE) {
        cancel();
        return 0;
    }
    if (DialogWindow::handleMessage(message, wParam, lParam) == 0) return 0;
    switch (message) {
        case DialogProgressView::kShowMessage:
            progress_.showPending();
            return 0;
        case WM_INITDIALOG:
            startFirstAccount();
            return 1;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) cancel();
            return 0;
        case WM_SESSION_FINISHED:
            finishAccount(static_cast<int>(wParam));
            return 0;
        case WM_TIMER:
            if (wParam != kSkipTimer) return 1;
            KillTimer(window(), kSkipTimer);
            moveOn();
            return 0;
        default:
            return 1;
    }
}

INT_PTR Controller::onDestroy() {
    dialogDestroyed_ = true;
    return DialogWindow::onDestroy();
}

void Controller::sessionFinished(int result) {
    PostMessageA(window(), WM_SESSION_FINISHED, static_cast<WPARAM>(result), 0);
}

void Controller::moveOn() {
    // As a session that did not migrate: the status stays as it is.
    PostMessageA(window(), WM_SESSION_FINISHED, 1, 0);
}

std::unique_ptr<SocketSession>* Controller::slotFor(int protocol) {
    if (protocol == kProtocolImap) return &imapSession_;
    if (protocol == kProtocolPop3) return &pop3Session_;
    return nullptr;
}

void Controller::showAccount(const AccountRecord& record) {
    const std::string format = loadResourceString(IDS_DIALOG_TITLE, instance());
    std::string title = formatBounded(format.c_str(), record.user().c_str());
    if (title.size() > kTitleMax) title.resize(kTitleMax);
    SetWindowTextA(window(), title.c_str());
    // One column for the whole run; a column per account would widen the list sideways.
    if (!columnAdded_) columnAdded_ = listView_.insertColumn(0, listView_.clientWidth(), "Information");
}

void Controller::retire(std::unique_ptr<SocketSession>& slot) {
    if (!slot) return;
    if (slot->stop() || slot->waitForEnd(kRetireWaitMs)) {
        slot.reset();
    } else {
        log().report(kLogName, "A session did not end; it is kept until the program ends");
        retired_.push_back(std::move(slot));
    }
}

void Controller::startSession(const AccountRecord& record) {
    std::unique_ptr<SocketSession>* slot = slotFor(record.protocol());
    if (!slot) {
        // Nothing would ever report this account's end: skip it so the run goes on.
        std::string text;
        formatString(text, "Skipping account [%s] of user %s: protocol A=%d is neither 1 (IMAP4) nor 2 (POP3)",
                     record.section().c_str(), record.user().c_str(), record.protocol());
        log().report(kLogName, text);
        moveOn();
        return;
    }
    if (record.status() == 1) {
        skipMigratedAccount(record);
        return;
    }
    if (const std::optional<std::string> problem = accountFolderProblem(record.values())) {
        // U and D become folders of the store; an unsafe one would write outside the user's folder.
        std::string text;
        formatString(text, "Skipping account [%s] of user %s: %s", record.section().c_str(), record.user().c_str(),
                     problem->c_str());
        log().report(kLogName, text);
        moveOn();
        return;
    }
    retire(*slot);
    *slot = sessions_.create(record.protocol(), accountIndex_, log(), this);
    if (!*slot) {
        log().report(kLogName, formatBounded("The session of account [%s] could not be made; the run goes on",
                                             record.section().c_str()));
        moveOn();
        return;
    }
    (*slot)->startThread();
    (*slot)->attachProgress(&progress_);
    (*slot)->resume();
}

void Controller::skipMigratedAccount(const AccountRecord& record) {
    const std::string text = formatBounded("Skipping %s. User already migrated.", record.user().c_str());
    staticText_.setText(text);
    const SessionKind& kind = record.protocol() == kProtocolImap ? kImapSessionKind : kPop3SessionKind;
    log().report(kind.objectName, text);
    if (SetTimer(window(), kSkipTimer, skipPauseMs_, nullptr) == 0) moveOn();
}

void Controller::startFirstAccount() { guarded([this] { startAccount(true); }); }

void Controller::finishAccount(int result) {
    if (result == kSessionTokenExpired && reconnectAccount()) return;
    reconnected_ = false;
    guarded([this, result] {
        listView_.deleteAllItems();
        staticText_.setText("Processing []\nMessage [0] of [0] for this User");
        if (result == 0) record(accountIndex_ - 1).writeStatus(1);
        startAccount(false);
    });
}

bool Controller::reconnectAccount() {
    if (reconnected_ || dialogDestroyed_) return false;
    reconnected_ = true;
    // guarded() moves past the account when it is done; this is the same one again.
    --accountIndex_;
    guarded([this] {
        const AccountRecord again = record(accountIndex_);
        log().report(kLogName, formatBounded("The server ended the session of account [%s] because its access "
                                             "token expired; it reconnects once with a new token",
                                             again.section().c_str()));
        listView_.deleteAllItems();
        startSession(again);
    });
    return true;
}

void Controller::startAccount(bool first) {
    const AccountRecord next = record(accountIndex_);
    if (next.status() == -1) {
        // The end of the list; only a list without a first account is worth a line.
        if (first) log().report(kLogName, "Invalid Information");
        reportListEnd();
        DestroyWindow(window());
    } else {
        if (first) sessions_.reportRunSettings(log());
        showAccount(next);
        startSession(next);
    }
}

void Controller::reportListEnd() {
    // Only a log line: nothing here may keep the run from ending.
    try {
        const std::vector<std::string> names = Profile(accountsPath_).sectionNames();
        const std::vector<std::string> later = sectionsAfterGap(names, accountIndex_);
        if (later.empty()) return;
        const std::string section = std::to_string(accountIndex_);
        bool present = false;
        for (const std::string& name : names) present = present || name == section;
        log().report(kLogName, listEndsAtGapText(accountIndex_, present, later));
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
}

template <typename Step>
void Controller::guarded(Step step) {
    bool failed = true;
    try {
        step();
        failed = false;
    } catch (const Exception& e) {
        log().report(kLogName, e.text());
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    if (failed && !dialogDestroyed_) {
        // No session runs for this account, so none will report an end: go on without it.
        log().report(kLogName, formatBounded("Account [%d] was not started; the run goes on with the next account",
                                             accountIndex_));
        moveOn();
    }
    // Advanced whatever happened, so a failing account cannot stall the run.
    ++accountIndex_;
}

void Controller::cancel() {
    try {
        // Under the name of the session that was running (its worker has
        // not ended); the IMAP session's when none was.
        std::string_view name = kImapSessionKind.objectName;
        for (auto* slot : {&imapSession_, &pop3Session_})
            if (*slot && !(*slot)->waitForEnd(0)) name = (*slot)->kind().objectName;
        log().report(name, "Migration canceled by user");
        sessions_.cancelRun();
        for (auto* slot : {&imapSession_, &pop3Session_}) {
            // A worker that outlives the stop wait is waited for by endSessions.
            if (*slot && !(*slot)->stop())
                log().report(kLogName, "The stopped session has not ended yet; the program waits for it at its end");
        }
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    DestroyWindow(window());
}

bool Controller::endSessions(unsigned long boundMs) {
    std::vector<std::unique_ptr<SocketSession>*> all{&imapSession_, &pop3Session_};
    for (auto& session : retired_) all.push_back(&session);
    const ULONGLONG deadline = GetTickCount64() + boundMs;
    bool allEnded = true;
    for (std::unique_ptr<SocketSession>* slot : all) {
        if (!*slot) continue;
        if (!(*slot)->waitForEnd(0)) {
            log().report(kLogName, formatBounded("Waiting up to %lu ms for a session to end", boundMs));
            const ULONGLONG now = GetTickCount64();
            const unsigned long left = now >= deadline ? 0 : static_cast<unsigned long>(deadline - now);
            if (!(*slot)->stop() && !(*slot)->waitForEnd(left)) {
                log().report(kLogName, formatBounded("A session did not end within %lu ms", boundMs));
                allEnded = false;
                continue;
            }
            log().report(kLogName, "The session has ended");
        }
        slot->reset();
    }
    std::erase(retired_, nullptr);
    return allEnded;
}

}  // namespace rvo
