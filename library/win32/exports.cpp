// The five exports of kelvar.dll and its entry point. Each export runs
// inside one catch-all: a thrown C string ("Out of memory") or any other
// exception is shown in a "Critical Exception" box and the export answers
// its failure value; nothing is thrown back into the host.
#include <windows.h>

#include <new>
#include <string>

// Exported through kelvar.def only, so no decorated name is exported too.
#define KELVAR_API extern "C"
#include "library/kelvar.h"

#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "engine/win32/ui/message_box.h"
#include "library/core/call_arguments.h"
#include "library/win32/library_context.h"
#include "library/win32/migration_dialog.h"
#include "library/win32/services.h"

using namespace rvo;

static_assert(kFolderListBytes == KELVAR_FOLDER_LIST_BYTES, "the header states the list's bound");

namespace {

constexpr std::string_view kImapCaption = "IMap2XRV Function";
constexpr std::string_view kPop3Caption = "Pop32XRV Function";

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

void throwOutOfMemory() { throw "Out of memory"; }

template <typename Body>
int guarded(int failure, std::string_view caption, Body body) {
    try {
        return body();
    } catch (const char* message) {
        showMessageBox(message ? message : "", "Critical Exception", MB_OK);
    } catch (const Exception& e) {
        libraryContext().writeLogLine(caption, e.text());
        showMessageBox("Unknown Error", "Critical Exception", MB_OK);
    } catch (...) {
        showMessageBox("Unknown Error", "Critical Exception", MB_OK);
    }
    return failure;
}

// False, after logging why, when Windows Sockets did not start at load.
bool socketsStarted(LibraryContext& context, std::string_view caption) {
    if (!context.sockets().failure()) return true;
    context.writeLogLine(caption, context.sockets().failure()->text());
    return false;
}

// Steps shared by both migrations: the argument lines, the per-call
// settings and the destination's folders.
void takeCommonArguments(LibraryContext& context, std::string_view caption, const char* destinationPath,
                         const char* server, const char* user, const char* password, int port) {
    std::set_new_handler(throwOutOfMemory);
    context.writeLogLine(caption, "Destination path : " + text(destinationPath));
    context.writeLogLine(caption, "Source server : " + text(server));
    context.writeLogLine(caption, formatBounded("Server port: %d", port));
    context.writeLogLine(caption, "Username : " + text(user));
    CallSettings& call = context.call();
    call.destinationPath = destinationWithBackslash(text(destinationPath));
    call.server = text(server);
    call.user = text(user);
    call.password = text(password);
    call.port = port;
}

void createDestinationFolders(const std::string& destination) {
    // Failures are left to the store, which reports the folder it cannot make.
    for (const std::string& folder : destinationFolders(destination)) {
        if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryA(folder.c_str(), nullptr);
    }
}

}  // namespace

KELVAR_API int KELVAR_CALL IMap2XRV(const char* destinationPath, const char* server, const char* user,
                                    const char* password, int port, const char* excludedFolders,
                                    const char* folderMapping, int createEmpty, int migrateDeleted, int markDeleted,
                                    int excludeContained) {
    return guarded(kResultFailed, kImapCaption, [&] {
        LibraryContext& context = libraryContext();
        takeCommonArguments(context, kImapCaption, destinationPath, server, user, password, port);
        context.writeLogLine(kImapCaption, "Excluded directories : " + text(excludedFolders));
        context.writeLogLine(kImapCaption, "Folder mapping : " + text(folderMapping));
        context.writeLogLine(kImapCaption, createEmpty ? "Create Empty : TRUE" : "Create Empty : FALSE");
        if (!socketsStarted(context, kImapCaption)) return kResultFailed;
        CallSettings& call = context.call();
        call.excludedText = text(excludedFolders);
        call.createEmpty = createEmpty;
        call.migrateDeleted = migrateDeleted;
        call.markDeleted = markDeleted;
        call.excludeContained = excludeContained;
        createDestinationFolders(call.destinationPath);
        // Only this call's entries: a mailbox is never skipped for what the
        // wizard excluded for another.
        call.excludedFolders = parseExcludedFolders(call.excludedText);
        applyFolderMapping(text(folderMapping), call.mappingNames);
        context.databaseLog().beginCall();
        return context.dialog().run(DialogMode::Imap);
    });
}

KELVAR_API int KELVAR_CALL Pop32XRV(const char* destinationPath, const char* server, const char* user,
                                    const char* password, int port) {
    return guarded(kResultFailed, kPop3Caption, [&] {
        LibraryContext& context = libraryContext();
        takeCommonArguments(context, kPop3Caption, destinationPath, server, user, password, port);
        if (!socketsStarted(context, kPop3Caption)) return kResultFailed;
        createDestinationFolders(context.call().destinationPath);
        context.databaseLog().beginCall();
        return context.dialog().run(DialogMode::Pop3);
    });
}

KELVAR_API int KELVAR_CALL GetFolders(const char* server, int port, const char* user, const char* password,
                                      char* folderList, char* errorText) {
    return guarded(0, "GetFolder Function", [&] {
        return getFolders(libraryContext(), server, port, user, password, folderList, errorText);
    });
}

KELVAR_API int KELVAR_CALL TestConnection(const char* hostName, int port) {
    return guarded(0, "TestConnection", [&] { return testConnection(libraryContext(), hostName, port); });
}

KELVAR_API int KELVAR_CALL GetLine(const char* path, int lineNumber, char* lineText) {
    return guarded(1, "GetLine Function", [&] { return getLine(libraryContext(), path, lineNumber, lineText); });
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    libraryContext().setModule(module);
    return TRUE;
}
