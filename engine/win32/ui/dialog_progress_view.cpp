#include "engine/win32/ui/dialog_progress_view.h"

#include <string>

namespace rvo {

void DialogProgressView::addLine(std::string_view text) { list_.insertItem(kListRow, std::string(text)); }

void DialogProgressView::addLines(const std::vector<std::string>& lines) {
    if (lines.size() < 2) {
        for (const auto& line : lines) addLine(line);
        return;
    }
    list_.setRedraw(false);
    for (const auto& line : lines) list_.insertItem(kListRow, line);
    list_.setRedraw(true);
}

void DialogProgressView::setCaption(std::string_view text) { caption_.setText(std::string(text)); }

}  // namespace rvo
