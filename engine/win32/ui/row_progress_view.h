#pragma once
// The progress of several sessions in one list: one row per running
// session, each holding that session's newest line or caption. As with
// DialogProgressView, a worker never waits for the dialog: its calls only
// store the row's newest text and post one message; the dialog's thread, on
// that message, shows every row (showPending).
#include <windows.h>

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/session/progress_view.h"
#include "engine/win32/ui/dialog_control.h"

namespace rvo {

class RowProgressView {
public:
    // The message posted to the dialog; its handler calls showPending.
    static constexpr UINT kShowMessage = WM_APP + 0x52;

    RowProgressView(const ListViewControl& list, std::size_t rows) : list_(list), rows_(rows) {}

    // Any thread: the row's newest text; nullopt empties the row (its
    // session has ended). A row outside the view is ignored.
    void setRow(std::size_t row, std::optional<std::string> text);

    // On the dialog's thread: the list shows the rows that hold a text, in
    // row order, in one repaint.
    void showPending();

    // What one session sees: its lines and captions, each after `prefix`
    // ("alice: "), as the newest text of its row.
    class Row : public ProgressView {
    public:
        Row(RowProgressView& owner, std::size_t row, std::string prefix)
            : owner_(owner), row_(row), prefix_(std::move(prefix)) {}
        void addLine(std::string_view text) override;
        void addLines(const std::vector<std::string>& lines) override;
        void setCaption(std::string_view text) override;

    private:
        RowProgressView& owner_;
        const std::size_t row_;
        const std::string prefix_;
    };

private:
    const ListViewControl& list_;
    std::mutex mutex_;
    std::vector<std::optional<std::string>> rows_;
    bool changed_ = false;
    bool posted_ = false;
};

}  // namespace rvo
