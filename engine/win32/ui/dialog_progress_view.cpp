#include "engine/win32/ui/dialog_progress_view.h"

#include <utility>

namespace rvo {

void DialogProgressView::addLine(std::string_view text) {
    const std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
    postLocked();
}

void DialogProgressView::addLines(const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    const std::lock_guard lock(mutex_);
    lines_.insert(lines_.end(), lines.begin(), lines.end());
    postLocked();
}

void DialogProgressView::setCaption(std::string_view text) {
    const std::lock_guard lock(mutex_);
    pendingCaption_ = std::string(text);
    postLocked();
}

void DialogProgressView::postLocked() {
    if (posted_) return;
    HWND control = list_.handle() ? list_.handle() : caption_.handle();
    HWND dialog = control ? GetParent(control) : nullptr;
    // Without a dialog there is nothing to show; a failed post is tried
    // again with the next call, and nothing queued is lost meanwhile.
    if (dialog && PostMessageA(dialog, kShowMessage, 0, 0)) posted_ = true;
}

void DialogProgressView::showPending() {
    std::vector<std::string> lines;
    std::optional<std::string> caption;
    {
        const std::lock_guard lock(mutex_);
        lines = std::exchange(lines_, {});
        caption = std::exchange(pendingCaption_, std::nullopt);
        posted_ = false;
    }
    if (list_.handle() && !lines.empty()) {
        if (lines.size() > 1) list_.setRedraw(false);
        for (const std::string& line : lines) list_.insertItem(kListRow, line);
        if (lines.size() > 1) list_.setRedraw(true);
    }
    if (caption && caption_.handle()) caption_.setText(*caption);
}

}  // namespace rvo
