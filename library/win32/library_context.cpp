#include "library/win32/library_context.h"

#include <winsock2.h>

#include "engine/win32/ui/message_box.h"
#include "library/win32/migration_dialog.h"

namespace rvo {

const char* winsockStartupText(int error) {
    switch (error) {
        case 10014:
            return "The lpWSAData is not a valid pointer.";
        case 10036:
            return "A blocking Windows Sockets 1.1 operation is in progress.";
        case 10067:
            return "The number of tasks supported by the Windows Sockets implementation has been reached.";
        case 10091:
            return "The underlying network subsystem is not ready for network communication.";
        case 10092:
            return "The version of Windows Sockets support requested is not provided by this particular Windows "
                   "Sockets implementation.";
        default:
            return "Could not initiate use of WS2_32.DLL.";
    }
}

LibrarySockets::LibrarySockets() {
    WSADATA data{};
    const int error = WSAStartup(MAKEWORD(1, 1), &data);
    if (error == 0) {
        started_ = true;
        return;
    }
    // Thrown out of the library's load it would end the host process.
    failure_.emplace(winsockStartupText(error), GetLastError());
}

LibrarySockets::~LibrarySockets() {
    if (started_) WSACleanup();
}

void DatabaseErrorLog::report(std::string_view objectName, std::string_view text) {
    log_.report(objectName, text);
    if (!shown_.exchange(true)) showMessageBox(std::string(text), "Error", MB_OK);
}

LibraryContext::LibraryContext()
    : log_(LibraryLog::hostLogPath()),
      pop3Log_(log_, "Pop32XRV Function"),
      databaseLog_(pop3Log_),
      dialog_(std::make_unique<MigrationDialog>(*this)) {}

LibraryContext::~LibraryContext() = default;

MigrationSettings LibraryContext::settings() const {
    MigrationSettings s;
    s.serverAddress = call_.server;
    s.imapPort = call_.port;
    s.pop3Port = call_.port;
    s.markDeleted = call_.markDeleted;
    s.migrateDeleted = call_.migrateDeleted;
    s.createEmpty = call_.createEmpty;
    s.mailPath = call_.destinationPath;
    s.systemFolderNames = call_.mappingNames;
    s.excludedFolders = call_.excludedFolders;
    s.excludeContained = call_.excludeContained != 0;
    // The exports have no place for a window: one command at a time.
    s.pipelineDepth = 1;
    return s;
}

AccountValues LibraryContext::account() const {
    AccountValues a;
    a.user = call_.user;
    a.password = call_.password;
    a.domain.clear();
    a.status = 0;
    return a;
}

namespace {
// Built when the library is loaded, destroyed when it is unloaded.
LibraryContext theContext;
}  // namespace

LibraryContext& libraryContext() { return theContext; }

}  // namespace rvo
