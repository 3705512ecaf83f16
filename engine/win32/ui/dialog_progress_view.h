#pragma once
// Progress shown in the dialog's list and message text. Sessions call it from
// their worker thread; both calls are synchronous window messages, handled by
// the dialog's thread.
#include "engine/core/session/progress_view.h"
#include "engine/win32/ui/dialog_control.h"

namespace rvo {

class DialogProgressView : public ProgressView {
public:
    DialogProgressView(const ListViewControl& list, const StaticTextControl& caption)
        : list_(list), caption_(caption) {}

    void addLine(std::string_view text) override;
    // One repaint for all of them.
    void addLines(const std::vector<std::string>& lines) override;
    void setCaption(std::string_view text) override;

private:
    // Row 1: after a clear the first line lands in row 0 and stays there.
    static constexpr int kListRow = 1;
    const ListViewControl& list_;
    const StaticTextControl& caption_;
};

}  // namespace rvo
