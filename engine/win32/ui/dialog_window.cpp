#include "engine/win32/ui/dialog_window.h"

#include "engine/core/text/exception.h"
#include "engine/win32/log/system_error.h"

namespace rvo {

INT_PTR DialogWindow::handleMessage(UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            attachControls();
            return 1;
        case WM_DESTROY:
            return onDestroy();
        case WM_CLOSE:
            return close();
        default:
            return 1;
    }
}

INT_PTR DialogWindow::close() {
    DestroyWindow(window_);
    return 0;
}

INT_PTR DialogWindow::onDestroy() {
    PostQuitMessage(0);
    return 0;
}

void DialogWindow::attachControls() {
    for (DialogControl* control : controls_) control->attach(window_);
}

INT_PTR CALLBACK DialogWindow::dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* handler = reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
    if (message == WM_INITDIALOG) {
        handler = reinterpret_cast<DialogWindow*>(lParam);
        if (!handler) return FALSE;
        handler->window_ = dialog;
        handler->instance_ = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
        SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler));
    }
    if (!handler) return FALSE;  // before WM_INITDIALOG, e.g. WM_SETFONT
    try {
        return handler->handleMessage(message, wParam, lParam) == 0 ? TRUE : FALSE;
    } catch (const Exception& e) {
        handler->log_.report(handler->logName_, e.text());
    } catch (...) {
        handler->log_.report(handler->logName_, "Unknown Error in dialog");
    }
    return TRUE;
}

HWND DialogLauncher::create(HINSTANCE instance, int templateId, DialogWindow& handler, HWND owner) {
    window_ = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), owner, &DialogWindow::dialogProcedure,
                                 reinterpret_cast<LPARAM>(&handler));
    if (!window_) throwSystemError(GetLastError(), "Failed to create modeless dialog box.");
    return window_;
}

std::string loadResourceString(unsigned id, HINSTANCE instance) {
    char buffer[261] = {};
    if (LoadStringA(instance, id, buffer, 260) == 0)
        throwSystemError(GetLastError(), "Failed to load a string from resource.");
    return std::string(buffer);
}

}  // namespace rvo
