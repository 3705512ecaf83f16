#pragma once
// A modeless dialog as an object: one dialog procedure for all dialogs hands
// each message to the handler object bound at WM_INITDIALOG.
#include <windows.h>

#include <string>
#include <vector>

#include "engine/core/log/log_sink.h"
#include "engine/win32/ui/dialog_control.h"

namespace rvo {

class DialogWindow {
public:
    // Exceptions raised while handling a message are reported to `log`
    // under `logName` instead of crossing the dialog manager.
    DialogWindow(LogSink& log, std::string logName) : log_(log), logName_(std::move(logName)) {}
    virtual ~DialogWindow() = default;
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    // 0 means handled. Derived handlers call this first and stop when it returns 0.
    virtual INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // DestroyWindow of the dialog.
    virtual INT_PTR close();
    // Posts WM_QUIT with exit code 0.
    virtual INT_PTR onDestroy();

    HWND window() const { return window_; }
    HINSTANCE instance() const { return instance_; }

    static INT_PTR CALLBACK dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    void addControl(DialogControl& control) { controls_.push_back(&control); }
    void attachControls();
    LogSink& log() const { return log_; }

private:
    LogSink& log_;
    std::string logName_;
    HWND window_ = nullptr;
    HINSTANCE instance_ = nullptr;
    std::vector<DialogControl*> controls_;  // members of the derived object, not owned
};

class DialogLauncher {
public:
    virtual ~DialogLauncher() = default;
    // Creates the dialog from the template id; throws rvo::Exception
    // "Failed to create modeless dialog box." when creation fails.
    virtual HWND create(HINSTANCE instance, int templateId, DialogWindow& handler, HWND owner);
    HWND window() const { return window_; }

private:
    HWND window_ = nullptr;
};

// Loads a string-table entry (at most 260 characters); throws rvo::Exception
// "Failed to load a string from resource." when it is missing.
std::string loadResourceString(unsigned id, HINSTANCE instance);

}  // namespace rvo
