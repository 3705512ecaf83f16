#pragma once
// The IMAP4 session of one account: the dialogue of ImapDialogue over a
// SocketSession, messages into the account's folder directories through the
// message store.
//
// Use: construct, startThread(), attachProgress(view), resume(); stop() to
// cancel. The observer learns the result on the worker thread as its last
// act; delete the object only after its worker has ended (stop() returns
// true, or waitForEnd).
#include <windows.h>

#include <string>
#include <string_view>

#include "engine/core/imap/imap_dialogue.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/store_layout.h"
#include "engine/win32/imap/imap_file_store.h"
#include "engine/win32/net/socket_session.h"
#include "engine/win32/store/message_store.h"

namespace rvo {

// The texts a session shows and stores under: string-table entries 1 to 4
// (local system folder names) and 6 (the message caption).
struct ImapSessionTexts {
    SystemFolderNames localFolderNames;
    std::string captionFormat;
    // From the string table of `resources`; null: the program. Throws
    // rvo::Exception when an entry is missing.
    static ImapSessionTexts load(HINSTANCE resources = nullptr);
};

class ImapActiveObj : public SocketSession {
public:
    // The batch program's session: connects to settings.serverAddress:imapPort
    // as account.user and stores under mailPath + domain\user. `resources`
    // holds the string table; null: the program.
    ImapActiveObj(const MigrationSettings& settings, const AccountValues& account, LogSink& log,
                  SessionObserver* observer, const SessionTimings& timings = {}, HINSTANCE resources = nullptr);
    // Any kind, store layout and texts (the library's).
    ImapActiveObj(const SessionKind& kind, const MigrationSettings& settings, const AccountValues& account,
                  MessageStore store, const ImapSessionTexts& texts, LogSink& log, SessionObserver* observer,
                  const SessionTimings& timings = {});
    ~ImapActiveObj() override = default;

    void start() override;
    void finish() override;

    // 0 once the walk stored or recognised every message and LOGOUT was
    // acknowledged; else 1. Final once the observer was told.
    int sessionResult() const { return dialogue_.result(); }

protected:
    void dispatchLine(std::string_view line) override { dialogue_.onLine(line); }
    void dispatchLiteral(std::string_view chunk, bool last) override { dialogue_.onLiteral(chunk, last); }
    bool dispatchLongLine(std::string_view start) override { return dialogue_.acceptsLongLine(start); }
    void dispatchLinePiece(std::string_view piece, bool last) override { dialogue_.onLinePiece(piece, last); }
    // The commands the dialogue gave while one receive was handled go out
    // together: one send for every answer that arrived, and no send fails
    // before what the server had already sent is taken in.
    void receiveHandled() override;

private:
    // A check's counts, and Completed when it finished, for whoever ran the session.
    void fillCheckEnding(int result);

    class Host : public ImapDialogueHost {
    public:
        explicit Host(ImapActiveObj& session) : session_(session) {}
        bool send(std::string_view bytes) override {
            session_.heldCommands_.append(bytes);
            return true;
        }
        void readLiteral(std::uint64_t count) override { session_.readLiteral(count); }
        void log(std::string_view text) override { session_.report(text); }
        void showLine(std::string_view text) override { session_.showLine(text); }
        void showCaption(std::string_view text) override { session_.showCaption(text); }
        void pause(unsigned long milliseconds) override { Sleep(milliseconds); }
        void closeConnection() override {
            session_.heldCommands_.clear();
            session_.closeConnection();
        }

    private:
        ImapActiveObj& session_;
    };

    std::string serverAddress_;
    int port_;
    AccountValues account_;
    ImapFileStore store_;
    bool checkOnly_ = false;  // the account is only checked: its store is read, never written
    std::string heldCommands_;  // at most the dialogue's window of command lines
    Host host_{*this};
    ImapDialogue dialogue_;
};

}  // namespace rvo
