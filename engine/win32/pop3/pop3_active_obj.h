#pragma once
// The POP3 session of one account: the dialogue of Pop3Dialogue over a
// SocketSession, messages into the account's inbox directory through the
// message store, unique-ids in the migration database.
//
// Use: construct, startThread(), attachProgress(view), resume(); stop() to
// cancel. The observer learns the result on the worker thread as its last
// act; delete the object only after its worker has ended (stop() returns
// true, or waitForEnd).
#include <windows.h>

#include <string>
#include <string_view>

#include "engine/core/db/migration_database.h"
#include "engine/core/db/reused_database.h"
#include "engine/core/pop3/pop3_dialogue.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/win32/net/socket_session.h"
#include "engine/win32/store/message_file.h"
#include "engine/win32/store/message_store.h"

namespace rvo {

class Pop3ActiveObj : public SocketSession, private Pop3Environment {
public:
    // The batch program's session: connects to settings.serverAddress:pop3Port
    // as account.user and stores into mailPath + domain\user\inbox.
    // `openDatabase` makes one database object per use. `resources` holds the
    // caption text (string 6); null: the program.
    Pop3ActiveObj(const MigrationSettings& settings, const AccountValues& account,
                  MigrationDatabaseOpener openDatabase, LogSink& log, SessionObserver* observer,
                  const SessionTimings& timings = {}, HINSTANCE resources = nullptr);
    // Any kind, store layout and caption (the library's): the inbox is the
    // store's folder "inbox". `captionFormat` is string 6; empty: no caption.
    Pop3ActiveObj(const SessionKind& kind, const MigrationSettings& settings, const AccountValues& account,
                  MessageStore store, std::string captionFormat, MigrationDatabaseOpener openDatabase, LogSink& log,
                  SessionObserver* observer, const SessionTimings& timings = {});
    ~Pop3ActiveObj() override = default;

    void start() override;
    void finish() override;

    // 0 once the dialogue ended with QUIT and every message is stored or was
    // recorded before; else 1. Final once the observer was told.
    int sessionResult() const { return dialogue_.result(); }
    const std::string& inboxDirectory() const { return inbox_; }
    // How often a unique-id record is tried; call before start.
    void setRecordRetry(const Pop3RecordRetry& retry) { dialogue_.setRecordRetry(retry); }

protected:
    void dispatchLine(std::string_view line) override { dialogue_.onLine(line); }
    void connectionOpened() override { dialogue_.connected(); }
    // The commands given while one receive was handled go out together, after it.
    void receiveHandled() override;

private:
    // Pop3Environment
    bool send(std::string_view command) override {
        heldCommands_.append(command);
        return true;
    }
    void closeWithoutQuit() override {
        heldCommands_.clear();
        closeConnection();
    }
    void report(std::string_view text) override { SocketSession::report(text); }
    void showLine(std::string_view text) override { SocketSession::showLine(text); }
    void showMessageProgress(int number, int count) override;
    std::unique_ptr<MigrationDatabase> openDatabase() override { return database_.use(); }
    bool prepareInbox(std::string& error) override;
    bool beginMessage(int number, std::string& error) override;
    bool writeMessageLine(std::string_view line, std::string& error) override;
    bool commitMessage(std::string& error) override;
    void abandonMessage() override { message_.abandon(); }
    bool removeStoredMessage(std::string& error) override;
    void pause(unsigned long milliseconds) override { Sleep(milliseconds); }

    std::string serverAddress_;
    int port_;
    std::string heldCommands_;  // at most the dialogue's window of command lines
    AccountValues account_;
    ReusedDatabase database_;
    MessageStore store_;
    std::string inbox_;
    std::string captionFormat_;
    MessageFile message_;
    std::string storedPath_;  // the message file committed last
    Pop3Dialogue dialogue_;
    bool checkOnly_ = false;  // the account is only checked: nothing retrieved, stored or recorded
};

}  // namespace rvo
