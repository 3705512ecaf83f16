#pragma once
// Learns that a session has ended. The batch program posts its finished
// message to the dialog, the library asks the dialog to close, tests record.
// Called on the session's worker thread, as its last act.
namespace rvo {

class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    // 0: the dialogue ended normally; 1: it did not; kSessionTokenExpired:
    // it did not, because the server ended it when the access token it
    // signed in with expired (a session with a new token may carry on).
    virtual void sessionFinished(int result) = 0;
};

inline constexpr int kSessionTokenExpired = 2;

}  // namespace rvo
