#include "batch/win32/controller.h"

#include "batch/win32/account_record.h"
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

Controller::Controller(LogSink& log, AccountSessionFactory& sessions, unsigned long skipPauseMs)
    : DialogWindow(log, kLogName),
      sessions_(sessions),
      listView_(IDC_PROGRESS_LIST),
      staticText_(IDC_MESSAGE_TEXT),
      progress_(listView_, staticText_),
      skipPauseMs_(skipPauseMs) {
    addControl(listView_);
    addControl(staticText_);
}

Controller::~Controller() {
    // A stopped session whose worker is still running must not be freed under it.
    for (auto* slot : {&imapSession_, &pop3Session_}) {
        if (*slot && !(*slot)->waitForEnd(0)) (void)slot->release();
    }
}

INT_PTR Controller::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (DialogWindow::handleMessage(message, wParam, lParam) == 0) return 0;
    switch (message) {
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
            // As a session that did not migrate: the status stays as it is.
            PostMessageA(window(), WM_SESSION_FINISHED, 1, 0);
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
        log().report(kLogName, "A session did not end; it is left running");
        (void)slot.release();
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
        PostMessageA(window(), WM_SESSION_FINISHED, 1, 0);
        return;
    }
    if (record.status() == 1) {
        skipMigratedAccount(record);
        return;
    }
    retire(*slot);
    *slot = sessions_.create(record.protocol(), accountIndex_, log(), this);
    if (!*slot) {
        close();
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
    if (SetTimer(window(), kSkipTimer, skipPauseMs_, nullptr) == 0)
        PostMessageA(window(), WM_SESSION_FINISHED, 1, 0);
}

void Controller::startFirstAccount() { guarded([this] { startAccount(true); }); }

void Controller::finishAccount(int result) {
    guarded([this, result] {
        listView_.deleteAllItems();
        staticText_.setText("Processing []\nMessage [0] of [0] for this User");
        if (result == 0) AccountRecord(accountIndex_ - 1).writeStatus(1);
        startAccount(false);
    });
}

void Controller::startAccount(bool first) {
    const AccountRecord record(accountIndex_);
    if (record.status() == -1) {
        // The end of the list; only a list without a first account is worth a line.
        if (first) log().report(kLogName, "Invalid Information");
        DestroyWindow(window());
    } else {
        showAccount(record);
        startSession(record);
    }
}

template <typename Step>
void Controller::guarded(Step step) {
    try {
        step();
    } catch (const Exception& e) {
        log().report(kLogName, e.text());
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
    // Advanced whatever happened, so a failing account cannot stall the run.
    ++accountIndex_;
}

void Controller::cancel() {
    try {
        const AccountRecord record(accountIndex_ - 1);
        log().report("IMap2XRV Object", "Migration canceled by user");
        if (std::unique_ptr<SocketSession>* slot = slotFor(record.protocol())) {
            // The stopped session stays alive until the program ends; its
            // worker may still be finishing.
            if (*slot) (*slot)->stop();
            DestroyWindow(window());
        }
    } catch (...) {
        log().report(kLogName, kUnknownError);
    }
}

}  // namespace rvo
