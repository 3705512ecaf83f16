#include "engine/win32/ui/row_progress_view.h"

#include <utility>

namespace rvo {

void RowProgressView::setRow(std::size_t row, std::optional<std::string> text) {
    const std::lock_guard lock(mutex_);
    if (row >= rows_.size()) return;
    rows_[row] = std::move(text);
    changed_ = true;
    if (posted_) return;
    HWND dialog = list_.handle() ? GetParent(list_.handle()) : nullptr;
    // A failed post is tried again with the next call; the text is kept meanwhile.
    if (dialog && PostMessageA(dialog, kShowMessage, 0, 0)) posted_ = true;
}

void RowProgressView::showPending() {
    std::vector<std::string> shown;
    {
        const std::lock_guard lock(mutex_);
        posted_ = false;
        if (!changed_) return;
        changed_ = false;
        for (const auto& row : rows_)
            if (row) shown.push_back(*row);
    }
    if (!list_.handle()) return;
    list_.setRedraw(false);
    list_.deleteAllItems();
    for (std::size_t i = 0; i < shown.size(); ++i) list_.insertItem(static_cast<int>(i), shown[i]);
    list_.setRedraw(true);
}

void RowProgressView::Row::addLine(std::string_view text) {
    owner_.setRow(row_, prefix_ + std::string(text));
}

void RowProgressView::Row::addLines(const std::vector<std::string>& lines) {
    // Only the newest line stands in the row.
    if (!lines.empty()) addLine(lines.back());
}

void RowProgressView::Row::setCaption(std::string_view text) {
    // A caption is two lines; a row is one.
    std::string line = prefix_;
    for (const char c : text) {
        if (c == '\r') continue;
        line.push_back(c == '\n' ? ' ' : c);
    }
    owner_.setRow(row_, std::move(line));
}

}  // namespace rvo
