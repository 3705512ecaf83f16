#include "library/win32/services.h"

#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/core/imap/imap_opening.h"
#include "engine/core/text/format.h"
#include "engine/win32/net/socket.h"
#include "engine/win32/platform/file_handle.h"
#include "library/core/numbered_line.h"
#include "library/win32/folder_list_session.h"
#include "library/win32/library_context.h"

namespace rvo {

namespace {

constexpr std::string_view kFoldersCaption = "GetFolder Function";
constexpr std::string_view kTestCaption = "TestConnection";
constexpr std::string_view kLineCaption = "GetLine Function";

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

// Copies `value` and its terminating NUL into a caller's buffer of `size` bytes (0: as large as needed).
void copyOut(char* buffer, const std::string& value, std::size_t size = 0) {
    if (!buffer) return;
    const std::size_t n = size == 0 ? value.size() : std::min(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
}

}  // namespace

int getFolders(LibraryContext& context, const char* server, int port, const char* user, const char* password,
               char* folderList, char* errorText) {
    context.writeLogLine(kFoldersCaption, "Server : " + text(server));
    context.writeLogLine(kFoldersCaption, formatBounded("Port : %d", port));
    context.writeLogLine(kFoldersCaption, "User : " + text(user));
    FolderListOutcome outcome;
    if (const auto& failure = context.sockets().failure()) {
        context.writeLogLine(kFoldersCaption, failure->text());
        outcome.errorText = std::string(ImapFolderListing::kErrorPrefix) + failure->text();
    } else {
        outcome = listFolders(text(server), port, text(user), text(password), kFolderListBytes, context.log(),
                              context.timings());
    }
    // Names are the server's text: a folder named like the password is masked here too.
    const CredentialMask credentials = ImapOpening::loginMask(text(user), text(password));
    context.writeLogLine(kFoldersCaption, "Folder List : " + credentials.apply(outcome.folderList));
    copyOut(folderList, outcome.folderList, kFolderListBytes);
    copyOut(errorText, outcome.errorText, kErrorTextBytes);
    return outcome.result;
}

int testConnection(LibraryContext& context, const char* hostName, int port) {
    const auto log = [&context](std::string_view line) { context.writeLogLine(kTestCaption, line); };
    if (const auto& failure = context.sockets().failure()) {
        log(failure->text());
        return 0;
    }
    if (port < 1 || port > 65535) {
        log(formatBounded("The port %d is not a TCP port", port));
        return 0;
    }
    Socket socket(SOCK_STREAM);
    if (!socket.tryCreate()) {
        log(formatBounded("Could not create socket - %d", WSAGetLastError()));
        return 0;
    }
    log("Created Socket");
    const std::string host = text(hostName);
    const hostent* entry = gethostbyname(host.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) {
        log(formatBounded("Could not retrieve host information - %d", WSAGetLastError()));
        return 0;
    }
    log("Retrieved host information");
    in_addr first;
    std::memcpy(&first, entry->h_addr_list[0], sizeof first);
    // A blocking connect: it takes as long as the system gives it.
    if (const int error = socket.tryConnect(SocketAddress(static_cast<unsigned short>(port), inet_ntoa(first)));
        error != 0) {
        log(formatBounded("Could not establish connection to server - %d", error));
        return 0;
    }
    log("Success");
    return 1;
}

int getLine(LibraryContext& context, const char* path, int lineNumber, char* lineText) {
    const auto log = [&context](std::string_view line) { context.writeLogLine(kLineCaption, line); };
    log("Path : " + text(path));
    log(formatBounded("Line Number : %d", lineNumber));
    FileHandle file(CreateFileA(text(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        copyOut(lineText, "");
        log("Could not open/find file");
        return kLineNoFile;
    }
    NumberedLine line(lineNumber);
    char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        // A read that fails ends the file where it failed.
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) || read == 0) break;
        if (line.feed(std::string_view(buffer, read))) break;
    }
    line.end();
    file.reset();
    if (line.outcome() == NumberedLine::Outcome::Found) {
        copyOut(lineText, line.text());
        // What the caller sees: the text up to a NUL byte, if it holds one.
        log("Found the text '" + std::string(line.text().c_str()) + "' at line number " + std::to_string(lineNumber) +
            ".");
        return kLineFound;
    }
    log("Could not find line number");
    copyOut(lineText, "");
    return kLineTooShort;
}

}  // namespace rvo
