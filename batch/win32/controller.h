#pragma once
// Handler of the progress dialog: walks the account list one account at a
// time, one session at a time, and ends the run at the end of the list.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "batch/win32/account_session_factory.h"
#include "engine/core/session/session_observer.h"
#include "engine/win32/net/socket_session.h"
#include "engine/win32/ui/dialog_control.h"
#include "engine/win32/ui/dialog_progress_view.h"
#include "engine/win32/ui/dialog_window.h"

namespace rvo {

class AccountRecord;

// Posted by a session's worker as its last act; wParam is its result.
inline constexpr UINT WM_SESSION_FINISHED = WM_USER + 200;

class Controller : public DialogWindow, public SessionObserver {
public:
    static constexpr const char* kLogName = "Controller Object";

    // `skipPauseMs`: how long the "already migrated" caption of a skipped
    // account stays before the next account starts. `accountsPath`: the
    // account list, import\accounts.ini next to the program when empty.
    Controller(LogSink& log, AccountSessionFactory& sessions, unsigned long skipPauseMs = 1000,
               std::string accountsPath = {});
    // A session whose worker still runs is let go, never freed under it;
    // endSessions first makes that the exception.
    ~Controller() override;

    // After the message loop, before the program lets go of the log and
    // Windows Sockets: asks every session still running to stop and waits
    // for their workers, at most `boundMs` in all, logging the wait. Frees
    // each session that has ended; false when a worker is still running.
    bool endSessions(unsigned long boundMs);

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    INT_PTR onDestroy() override;

    // Worker thread: posts WM_SESSION_FINISHED to the dialog.
    void sessionFinished(int result) override;

    // True once the dialog has been destroyed (also during its own creation,
    // when there is no account to migrate).
    bool dialogDestroyed() const { return dialogDestroyed_; }
    int accountIndex() const { return accountIndex_; }

private:
    void startFirstAccount();
    void finishAccount(int result);
    // The server ended the account's session because its access token
    // expired: the same account once more, in a new session (which signs in
    // with a new token); true when it was started.
    bool reconnectAccount();
    void startAccount(bool first);
    // Runs one account step under the catch-all handler, then moves to the next account.
    template <typename Step>
    void guarded(Step step);
    // Cancel, the Escape key and the close box: stops the running session
    // and ends the run.
    void cancel();
    // The account list has ended at accountIndex_: names the numbered
    // sections after it that the gap keeps from being read.
    void reportListEnd();
    // The account is passed over with its status unchanged; the run goes on.
    void moveOn();
    // Title from string 5 with the user name, and the list's one column.
    void showAccount(const AccountRecord& record);
    // Starts the record's session, or moves past an account without one.
    void startSession(const AccountRecord& record);
    // An account already migrated: its caption, then after the pause the next account.
    void skipMigratedAccount(const AccountRecord& record);
    std::unique_ptr<SocketSession>* slotFor(int protocol);
    // Stops a session and frees it once its worker has ended; one that does
    // not end is kept for endSessions.
    void retire(std::unique_ptr<SocketSession>& slot);
    AccountRecord record(int index) const;

    AccountSessionFactory& sessions_;
    ListViewControl listView_;
    StaticTextControl staticText_;
    DialogProgressView progress_;
    std::unique_ptr<SocketSession> imapSession_;
    std::unique_ptr<SocketSession> pop3Session_;
    // Sessions replaced while their worker still ran.
    std::vector<std::unique_ptr<SocketSession>> retired_;
    std::string accountsPath_;
    unsigned long skipPauseMs_;
    int accountIndex_ = 1;
    // The running account's session is already the one reconnect allowed.
    bool reconnected_ = false;
    bool columnAdded_ = false;
    bool dialogDestroyed_ = false;
};

}  // namespace rvo
