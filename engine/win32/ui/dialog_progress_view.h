#pragma once
// Progress shown in the dialog's list and message text. Sessions call it from
// their worker thread, and a worker must never wait for the dialog: a
// synchronous window message per line held the transfer up for as long as
// the dialog's thread was busy painting. So the calls only queue what is to
// be shown and post one message; the dialog's thread, on that message,
// shows everything queued in order (showPending).
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "engine/core/session/progress_view.h"
#include "engine/win32/ui/dialog_control.h"

namespace rvo {

class DialogProgressView : public ProgressView {
public:
    // The message posted to the dialog; its handler calls showPending.
    static constexpr UINT kShowMessage = WM_APP + 0x51;

    DialogProgressView(const ListViewControl& list, const StaticTextControl& caption)
        : list_(list), caption_(caption) {}

    // Any thread; none of them waits for the dialog.
    void addLine(std::string_view text) override;
    void addLines(const std::vector<std::string>& lines) override;
    void setCaption(std::string_view text) override;

    // On the dialog's thread: everything queued so far, lines in order with
    // one repaint, then the newest caption.
    void showPending();

private:
    // With mutex_ held: one message on its way is enough for any number of calls.
    void postLocked();

    // Row 1: after a clear the first line lands in row 0 and stays there.
    static constexpr int kListRow = 1;
    const ListViewControl& list_;
    const StaticTextControl& caption_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::optional<std::string> pendingCaption_;
    bool posted_ = false;
};

}  // namespace rvo
