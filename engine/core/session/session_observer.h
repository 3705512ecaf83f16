#pragma once
// Learns that a session has ended. The batch program posts its finished
// message to the dialog, the library asks the dialog to close, tests record.
// Called on the session's worker thread, as its last act.
namespace rvo {

class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    // 0: the dialogue ended normally; 1: it did not.
    virtual void sessionFinished(int result) = 0;
};

}  // namespace rvo
