#include "library/win32/migration_dialog.h"

#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "engine/win32/ui/message_box.h"
#include "library/win32/library_context.h"
#include "library/win32/library_sessions.h"
#include "resources/resource_ids.h"

namespace rvo {

namespace {
constexpr std::string_view kCaption = "IMap2XRV Function";
}  // namespace

MigrationDialog::MigrationDialog(LibraryContext& context)
    : DialogWindow(context.log(), std::string(kCaption)),
      context_(context),
      list_(IDC_PROGRESS_LIST),
      text_(IDC_MESSAGE_TEXT),
      progress_(list_, text_),
      sessions_(context.log(), std::string(kCaption), 1, RunningSessions::kWithoutLimit,
                [this](const SessionFinish& finish) { sessionFinished(finish); }) {}

// Every call waits for its worker, so none runs here; one that did is let
// go by the sessions' owner, never freed under it.
MigrationDialog::~MigrationDialog() = default;

int MigrationDialog::run(DialogMode mode) {
    // A call from a message handler while the dialog runs would take over
    // the dialog and the session of the call under way.
    if (running_) {
        context_.writeLogLine(kCaption, "A migration is under way; this call is refused");
        return kResultFailed;
    }
    running_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{running_};
    return runDialog(mode);
}

int MigrationDialog::runDialog(DialogMode mode) {
    mode_ = mode;
    sessionResult_ = 1;
    const HWND dialog = CreateDialogParamA(context_.module(), MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                           &DialogWindow::dialogProcedure, reinterpret_cast<LPARAM>(this));
    if (!dialog) {
        // A dialog that destroyed itself while it initialised has posted its result.
        MSG quit;
        if (!PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return kResultNoDialog;
        return static_cast<int>(quit.wParam);
    }
    ShowWindow(dialog, SW_SHOWNORMAL);
    // Only the quit message ends the loop: an empty queue is no reason to stop.
    MSG message{};
    for (;;) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(message.wParam);
        if (got == -1) return kResultNoDialog;
        if (IsWindow(dialog) && IsDialogMessageA(dialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

INT_PTR MigrationDialog::handleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case DialogProgressView::kShowMessage:
            progress_.showPending();
            return 0;
        case WM_INITDIALOG:
            initialise();
            return 1;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) cancel();
            return 0;
        case WM_CLOSE:
            return close();
        case WM_DESTROY:
            return onDestroy();
        default:
            return 1;
    }
}

void MigrationDialog::initialise() {
    try {
        SetWindowTextA(window(), accountTitleText(context_.module(), context_.call().user).c_str());
        // Attached as they are found: a missing control stays unattached.
        list_.attachIfPresent(window());
        text_.attachIfPresent(window());
        if (list_.handle()) list_.insertColumn(0, list_.clientWidth(), "Information");

        deleteSessions();
        std::unique_ptr<SocketSession> session;
        try {
            SessionObserver& observer = *sessions_.nextObserver(0);
            if (mode_ == DialogMode::Pop3)
                session = makeLibraryPop3Session(context_, observer);
            else
                session = makeLibraryImapSession(context_, observer);
        } catch (const char*) {
            // The session object could not be allocated.
            close();
            return;
        }
        sessions_.start(0, std::move(session), &progress_);
    } catch (const Exception& e) {
        context_.writeLogLine(kCaption, e.text());
        showMessageBox("Unknown Exception", std::string(kCaption), MB_OK | MB_ICONWARNING);
        close();
    } catch (...) {
        showMessageBox("Unknown Exception", std::string(kCaption), MB_OK | MB_ICONWARNING);
        close();
    }
}

void MigrationDialog::cancel() {
    context_.writeLogLine(kCaption, "Migration canceled by user");
    SocketSession* running = session();
    // stop() has waited the stop bound already.
    if (running && !running->stop()) waitForWorker(0);
    mode_ = DialogMode::Canceled;
    // The session's end closes the dialog; without one nothing else would.
    if (!running) close();
}

INT_PTR MigrationDialog::onDestroy() {
    int result = kResultFailed;
    if (mode_ == DialogMode::Canceled) {
        // The stopped session stays until the next call's initialisation.
        if (session()) waitForWorker(context_.timings().stopWaitMs);
        result = kResultCanceled;
    } else if (session()) {
        waitForWorker(context_.timings().stopWaitMs);
        result = sessionResult_ == 0 ? kResultMigrated : kResultFailed;
        sessions_.clear(0);
    }
    PostQuitMessage(result);
    return 0;
}

void MigrationDialog::sessionFinished(const SessionFinish& finish) {
    sessionResult_ = finish.result;
    PostMessageA(window(), WM_CLOSE, 0, 0);
}

void MigrationDialog::deleteSessions() {
    if (session()) waitForWorker(context_.timings().stopWaitMs);
    sessions_.clear(0);
}

}  // namespace rvo
