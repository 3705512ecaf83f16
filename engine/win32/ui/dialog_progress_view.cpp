#include "engine/win32/ui/dialog_progress_view.h"

#include <string>

namespace rvo {

void DialogProgressView::addLine(std::string_view text) { list_.insertItem(kListRow, std::string(text)); }

void DialogProgressView::setCaption(std::string_view text) { caption_.setText(std::string(text)); }

}  // namespace rvo
