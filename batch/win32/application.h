#pragma once
// The batch program's application object: log, dialog and message loop.
#include <windows.h>

#include <string>
#include <string_view>

#include "batch/win32/controller.h"
#include "engine/core/log/log_sink.h"
#include "engine/win32/log/daily_log.h"
#include "engine/win32/net/winsock_init.h"
#include "engine/win32/ui/dialog_window.h"

namespace rvo {

class Application : public LogSink {
public:
    // Starts Windows Sockets; throws rvo::Exception when that fails.
    // `shutdownWaitMs` bounds the wait, once the dialog has gone, for a
    // session's worker that did not end when it was stopped.
    explicit Application(HINSTANCE instance, unsigned long shutdownWaitMs = kShutdownWaitMs);
    ~Application() override = default;
    static constexpr unsigned long kShutdownWaitMs = 30000;

    // Splits the program's path into the directory and base name the log uses.
    virtual void init();
    // Creates the dialog and runs the message loop; returns the exit code.
    virtual int run();
    virtual void quit(int exitCode);

    // Logs "<objectName> <text>"; a log that cannot be written shows the
    // "Critical Exception" box and the run goes on.
    void report(std::string_view objectName, std::string_view text) override;
    // Appends one line; throws rvo::Exception when the file cannot be opened.
    void writeLog(unsigned long processId, std::string_view text) const;

    HINSTANCE instance() const { return instance_; }
    HWND dialogWindow() const { return dialogWindow_; }
    const std::string& moduleDirectory() const { return moduleDirectory_; }
    const std::string& moduleBaseName() const { return moduleBaseName_; }
    // True when run() ended with a session's worker still running: the log,
    // the controller and Windows Sockets it uses must then not be destroyed,
    // so the program ends its process without destroying this object.
    bool workerStillRunning() const { return workerStillRunning_; }

private:
    int runDialog();
    void writeBannerIgnoringFailure() const;
    // Waits for the sessions' workers before the run's last line.
    void endSessions();

    HINSTANCE instance_;
    HWND dialogWindow_ = nullptr;
    unsigned long shutdownWaitMs_;
    bool workerStillRunning_ = false;
    std::string modulePath_;
    std::string moduleDirectory_;
    std::string moduleBaseName_;
    DailyLog log_{"", ""};
    // Destroyed in reverse: Windows Sockets first, then the controller, then the launcher.
    DialogLauncher launcher_;
    Controller controller_;
    WinsockInit sockets_;
};

// The one application object; set by the entry function while it lives.
extern Application* theApp;

}  // namespace rvo
