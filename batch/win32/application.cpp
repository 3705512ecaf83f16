#include "batch/win32/application.h"

#include "engine/core/log/log_format.h"
#include "engine/core/text/exception.h"
#include "engine/core/text/module_path.h"
#include "engine/win32/platform/module_path.h"
#include "engine/win32/ui/message_box.h"
#include "resources/resource_ids.h"

namespace rvo {

Application* theApp = nullptr;

Application::Application(HINSTANCE instance, unsigned long shutdownWaitMs)
    : instance_(instance), shutdownWaitMs_(shutdownWaitMs), controller_(*this, batchSessionFactory()), sockets_(2, 0) {}

void Application::init() {
    modulePath_ = modulePath();
    if (modulePath_.empty()) return;
    const ModulePathParts parts = splitModulePath(modulePath_);
    moduleDirectory_ = parts.directory;
    moduleBaseName_ = parts.baseName;
    log_ = DailyLog(moduleDirectory_, moduleBaseName_);
}

void Application::writeLog(unsigned long processId, std::string_view text) const {
    log_.writeLog(processId, text);
}

void Application::report(std::string_view objectName, std::string_view text) {
    try {
        writeLog(GetCurrentProcessId(), reportText(objectName, text));
    } catch (...) {
        showMessageBox("Unknown Error in theApp", "Critical Exception", MB_OK);
    }
}

void Application::quit(int exitCode) { PostQuitMessage(exitCode); }

void Application::writeBannerIgnoringFailure() const {
    // The failure that brought us here has been shown already.
    try {
        writeLog(GetCurrentProcessId(), kBanner);
    } catch (...) {
    }
}

void Application::endSessions() {
    try {
        if (!controller_.endSessions(shutdownWaitMs_)) workerStillRunning_ = true;
    } catch (...) {
        // Nothing is known to have ended: keep everything a worker may use.
        workerStillRunning_ = true;
    }
}

int Application::runDialog() {
    writeLog(GetCurrentProcessId(), kBanner);
    writeLog(GetCurrentProcessId(), kBatchLogTitle);
    try {
        dialogWindow_ = launcher_.create(instance_, IDD_PROGRESS, controller_, nullptr);
    } catch (const Exception&) {
        // Destroyed during its own initialisation: nothing to migrate, a normal end.
        if (!controller_.dialogDestroyed()) throw;
        endSessions();
        writeLog(GetCurrentProcessId(), kBanner);
        return 0;
    }
    ShowWindow(dialogWindow_, SW_SHOWNORMAL);

    MSG message{};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dialogWindow_, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    endSessions();
    writeLog(GetCurrentProcessId(), kBanner);
    return static_cast<int>(message.wParam);
}

int Application::run() {
    try {
        init();
        return runDialog();
    } catch (const Exception& e) {
        showMessageBox(e.text(), "Application Exception", MB_ICONERROR);
    } catch (...) {
        showMessageBox("Unknown Error in theApp", "Critical Exception", MB_OK);
    }
    endSessions();
    writeBannerIgnoringFailure();
    return -1;
}

}  // namespace rvo
