#include "library/win32/folder_list_session.h"

#include <utility>

#include "engine/core/text/format.h"
#include "library/core/call_arguments.h"

namespace rvo {

FolderListSession::FolderListSession(std::string server, int port, std::string user, std::string password,
                                     std::size_t listBytes, LogSink& log, const SessionTimings& timings)
    : SocketSession(kFolderListSessionKind, log, nullptr, timings),
      server_(std::move(server)),
      port_(port),
      listing_(user, password, listBytes, host_) {
    protectCredentials(ImapOpening::loginMask(user, password));
    setSecurity(securityForPort(port_, true), UpgradeProtocol::Imap);
}

void FolderListSession::start() {
    if (port_ < 1 || port_ > 65535) {
        stopRunning();
        const std::string text = formatBounded("The IMAP port %d is not a TCP port", port_);
        report(text);
        listing_.fail(text);
        return;
    }
    connectToServer(server_, static_cast<unsigned short>(port_));
}

void FolderListSession::finish() { endSession(listing_.result()); }

FolderListOutcome listFolders(const std::string& server, int port, const std::string& user,
                              const std::string& password, std::size_t listBytes, LogSink& log,
                              const SessionTimings& timings, unsigned long pollMs) {
    FolderListSession session(server, port, user, password, listBytes, log, timings);
    session.startThread();
    session.resume();
    while (!session.waitForEnd(pollMs)) {
    }
    return {session.result(), session.folderList(), ImapOpening::loginMask(user, password).apply(session.errorText())};
}

}  // namespace rvo
