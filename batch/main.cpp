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
    } catch (const rvo::Exception& e) {
        // Windows Sockets could not be started: there is no run to speak of.
        rvo::showMessageBox(e.text(), "Application Exception", MB_ICONERROR);
    }
    rvo::theApp = nullptr;
    return result;
}
