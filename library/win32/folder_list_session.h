#pragma once
// The library's folder listing: the core's ImapFolderListing over a
// SocketSession of its own kind, on a worker thread, while the caller's
// thread waits for it. Its log lines are the wizard's ("GetFolder
// Function"); failed waits and time-outs are logged as the migration's.
//
// Each session reads its own server: nothing received in one call reaches
// the next.
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_folder_listing.h"
#include "engine/core/net/session_kind.h"
#include "engine/win32/net/socket_session.h"

namespace rvo {

inline constexpr SessionKind kFolderListSessionKind{
    .objectName = "GetFolder Function",
    .eventOrder = kImapSessionKind.eventOrder,
    .lineEnd = LineEnd::KeepCarriageReturn,
    // A broken receive is told to the wizard (errorText), not logged.
    .logReceiveFailures = false,
    .catchLoopExceptions = false,
    .closeEndsSession = false,
    .connectWithoutExceptions = true,
    .unknownErrorText = kImapSessionKind.unknownErrorText,
    .waitObjectName = "IMap2XRV Function",
    .logConnectSteps = true,
};

class FolderListSession : public SocketSession {
public:
    // `listBytes`: the most the joined list may take, its NUL included.
    FolderListSession(std::string server, int port, std::string user, std::string password, std::size_t listBytes,
                      LogSink& log, const SessionTimings& timings = {});
    ~FolderListSession() override = default;

    void start() override;
    void finish() override;

    // Final once the worker has ended.
    int result() const { return listing_.result(); }
    const std::string& folderList() const { return listing_.folderList(); }
    const std::string& errorText() const { return listing_.errorText(); }

protected:
    void dispatchLine(std::string_view line) override { listing_.onLine(line); }
    void dispatchLiteral(std::string_view chunk, bool) override { listing_.onLiteral(chunk); }
    void connectionFailed(std::string_view text) override { listing_.fail(text); }
    void serverClosed() override { listing_.onServerClosed(); }

private:
    class Host : public ImapFolderListingHost {
    public:
        explicit Host(FolderListSession& session) : session_(session) {}
        bool send(std::string_view bytes) override { return session_.sendAll(bytes); }
        void readLiteral(std::uint64_t count) override { session_.readLiteral(count); }
        void log(std::string_view text) override { session_.report(text); }
        void conversationEnded() override { session_.closeAfterDialogue(); }

    private:
        FolderListSession& session_;
    };

    std::string server_;
    int port_;
    Host host_{*this};
    ImapFolderListing listing_;
};

struct FolderListOutcome {
    int result = 0;
    std::string folderList;
    std::string errorText;
};

// Runs one listing to its end: the session's worker does the work, this
// thread looks every `pollMs` whether it has ended (handling messages sent
// to its windows meanwhile) and returns as soon as it has. A list that does
// not fit in `listBytes` (NUL included) is none; the error text has the
// password masked as the log has, since the wizard may show or log it.
FolderListOutcome listFolders(const std::string& server, int port, const std::string& user,
                              const std::string& password, std::size_t listBytes, LogSink& log,
                              const SessionTimings& timings = {}, unsigned long pollMs = 500);

}  // namespace rvo
