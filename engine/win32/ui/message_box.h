#pragma once
// Every message box of the product goes through here. Tests install a
// recorder so that nothing blocks a run; the product shows the real box.
#include <functional>
#include <string>

namespace rvo {

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    unsigned type = 0;  // MB_* flags
};

using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;

// Shows the box (owner: none) and returns the button pressed.
int showMessageBox(const std::string& text, const std::string& caption, unsigned type);

// Replaces how boxes are shown; an empty handler restores the real box.
void setMessageBoxHandler(MessageBoxHandler handler);

}  // namespace rvo
