#pragma once
// The library's progress dialog: dialog 101 on the caller's thread, the
// session of the call started from its initialisation, Cancel, and the
// result of the call posted as the quit message when it is destroyed.
//
// The call's result: 1 when the session's dialogue is complete (every
// message stored or recognised as stored, the dialogue ended normally), 2
// after Cancel, 0 otherwise. The dialog never lets the call return while a
// session's worker still runs.
#include <windows.h>

#include <atomic>
#include <memory>

#include "engine/win32/session/running_sessions.h"
#include "engine/win32/ui/dialog_control.h"
#include "engine/win32/ui/dialog_progress_view.h"
#include "engine/win32/ui/dialog_window.h"

namespace rvo {

class LibraryContext;

enum class DialogMode { Imap = 0, Pop3 = 1, Canceled = 2 };

inline constexpr int kResultMigrated = 1;
inline constexpr int kResultFailed = 0;
inline constexpr int kResultCanceled = 2;
inline constexpr int kResultNoDialog = -1;

class MigrationDialog : public DialogWindow {
public:
    explicit MigrationDialog(LibraryContext& context);
    ~MigrationDialog() override;

    // Creates dialog 101 from the library's resources, shows it and pumps the
    // calling thread's messages until the quit message: its code, or -1 when
    // the dialog cannot be created or the loop fails.
    int run(DialogMode mode);

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    INT_PTR onDestroy() override;

private:
    int runDialog(DialogMode mode);
    void initialise();
    void cancel();
    // Worker thread, as the session's last act: asks the dialog to close.
    void sessionFinished(const SessionFinish& finish);
    SocketSession* session() const { return sessions_.session(0); }
    // Waits for the session's worker to end, saying so in the log when it
    // takes longer than `quietMs`.
    void waitForWorker(unsigned long quietMs) { sessions_.waitForEnd(0, quietMs); }
    // Deletes the session of an earlier call (its worker has ended).
    void deleteSessions();

    LibraryContext& context_;
    ListViewControl list_;
    StaticTextControl text_;
    DialogProgressView progress_;
    DialogMode mode_ = DialogMode::Imap;
    // One session at a time, waited for without limit: the call must not
    // return while a worker still uses what the caller handed in.
    RunningSessions sessions_;
    std::atomic<int> sessionResult_{1};
    bool running_ = false;
};

}  // namespace rvo
