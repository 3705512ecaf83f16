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
constexpr std::size_t kTitleMax = 255;
}  // namespace

MigrationDialog::MigrationDialog(LibraryContext& context)
    : DialogWindow(context.log(), std::string(kCaption)),
      context_(context),
      list_(IDC_PROGRESS_LIST),
      text_(IDC_MESSAGE_TEXT),
      progress_(list_, text_) {}

MigrationDialog::~MigrationDialog() {
    // Every call waits for its worker, so none runs here; one that did must
    // not have its object freed under it.
    if (imap_ && !imap_->waitForEnd(0)) (void)imap_.release();
    if (pop3_ && !pop3_->waitForEnd(0)) (void)pop3_.release();
}

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
        const std::string format = loadResourceString(IDS_DIALOG_TITLE, context_.module());
        std::string title = formatBounded(format.c_str(), context_.call().user.c_str());
        if (title.size() > kTitleMax) title.resize(kTitleMax);
        SetWindowTextA(window(), title.c_str());
        // Attached as they are found: a missing control stays unattached.
        list_.attachIfPresent(window());
        text_.attachIfPresent(window());
        if (list_.handle()) list_.insertColumn(0, list_.clientWidth(), "Information");

        deleteSessions();
        SocketSession* session = nullptr;
        try {
            if (mode_ == DialogMode::Pop3) {
                pop3_ = makeLibraryPop3Session(context_, *this);
                session = pop3_.get();
            } else {
                imap_ = makeLibraryImapSession(context_, *this);
                session = imap_.get();
            }
        } catch (const char*) {
            // The session object could not be allocated.
            close();
            return;
        }
        session->startThread();
        session->attachProgress(&progress_);
        session->resume();
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
    if (running && !running->stop()) waitForWorker(*running, 0);
    mode_ = DialogMode::Canceled;
    // The session's end closes the dialog; without one nothing else would.
    if (!running) close();
}

INT_PTR MigrationDialog::onDestroy() {
    int result = kResultFailed;
    if (mode_ == DialogMode::Canceled) {
        // The stopped session stays until the next call's initialisation.
        if (SocketSession* stopped = session()) waitForWorker(*stopped, context_.timings().stopWaitMs);
        result = kResultCanceled;
    } else if (SocketSession* ended = session()) {
        waitForWorker(*ended, context_.timings().stopWaitMs);
        result = sessionResult_ == 0 ? kResultMigrated : kResultFailed;
        imap_.reset();
        pop3_.reset();
    }
    PostQuitMessage(result);
    return 0;
}

void MigrationDialog::sessionFinished(int result) {
    sessionResult_ = result;
    PostMessageA(window(), WM_CLOSE, 0, 0);
}

SocketSession* MigrationDialog::session() const {
    if (imap_) return imap_.get();
    if (pop3_) return pop3_.get();
    return nullptr;
}

void MigrationDialog::waitForWorker(SocketSession& session, unsigned long quietMs) {
    if (session.waitForEnd(quietMs)) return;
    context_.writeLogLine(kCaption, "Waiting for the session to end");
    session.waitForEnd(INFINITE);
}

void MigrationDialog::deleteSessions() {
    for (SocketSession* old : {static_cast<SocketSession*>(imap_.get()), static_cast<SocketSession*>(pop3_.get())})
        if (old) waitForWorker(*old, context_.timings().stopWaitMs);
    imap_.reset();
    pop3_.reset();
}

}  // namespace rvo
