// Entry of the batch migration program.
#include <windows.h>

#include "batch/win32/application.h"
#include "engine/core/text/exception.h"
#include "engine/win32/ui/message_box.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    int result = -1;
    try {
        rvo::Application application(instance);
        rvo::theApp = &application;
        result = application.run();
        // A worker that would not end still uses the application's log and
        // sockets: end the process (which ends that thread) without
        // destroying them under it.
        if (application.workerStillRunning()) ExitProcess(static_cast<UINT>(result));
    } catch (const rvo::Exception& e) {
        // Windows Sockets could not be started: there is no run to speak of.
        rvo::showMessageBox(e.text(), "Application Exception", MB_ICONERROR);
    }
    rvo::theApp = nullptr;
    return result;
}
