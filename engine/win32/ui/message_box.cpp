#include "engine/win32/ui/message_box.h"

#include <windows.h>

namespace rvo {

namespace {
MessageBoxHandler& handlerSlot() {
    static MessageBoxHandler handler;
    return handler;
}
}  // namespace

int showMessageBox(const std::string& text, const std::string& caption, unsigned type) {
    if (const MessageBoxHandler& handler = handlerSlot()) return handler({text, caption, type});
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

void setMessageBoxHandler(MessageBoxHandler handler) { handlerSlot() = std::move(handler); }

}  // namespace rvo
