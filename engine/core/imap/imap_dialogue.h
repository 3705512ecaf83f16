#pragma once
// The IMAP4 dialogue of one account's migration: greeting, LOGIN, LIST, a
// counting pass and a transfer pass over the selectable folders (SELECT,
// SEARCH, per message FETCH of INTERNALDATE, the store decision, FETCH of
// BODY.PEEK[] into a message file, optional STORE of \Deleted), LOGOUT.
//
// Strictly sequential: one tagged command is outstanding at a time and is
// completed by "<tag> OK|NO|BAD", whatever text follows. Responses are read
// with their literals by byte count; the literal of a message body goes
// straight to the message file as it arrives. The session feeds lines and
// literal pieces in; the dialogue answers through its host and its store.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/file_time.h"

namespace rvo {

// What the dialogue asks of the session around it.
class ImapDialogueHost {
public:
    virtual ~ImapDialogueHost() = default;
    // Sends a whole command line; false when the connection failed (the
    // session has then ended and logged why).
    virtual bool send(std::string_view bytes) = 0;
    // From inside onLine: the next `count` bytes are a literal, handed to onLiteral.
    virtual void readLiteral(std::uint64_t count) = 0;
    virtual void log(std::string_view text) = 0;
    virtual void showLine(std::string_view text) = 0;
    virtual void showCaption(std::string_view text) = 0;
    virtual void pause(unsigned long milliseconds) = 0;
    // Ends the connection from this side (a refused LOGOUT).
    virtual void closeConnection() = 0;
};

// Folder directories and message files of the account's store. A message is
// begun, written as it arrives and committed, or abandoned: nothing that looks
// stored is left by a message that was not committed.
class ImapMailStore {
public:
    virtual ~ImapMailStore() = default;
    // The server's folder name mapped to the local system folder names.
    virtual std::string localFolderName(std::string_view serverName) = 0;
    virtual std::string folderDirectory(std::string_view localName) = 0;
    virtual bool ensureFolder(const std::string& directory, std::string& error) = 0;
    // Stored messages of that dateHex in the folder directory.
    virtual int countStored(const std::string& directory, std::string_view dateHex) = 0;
    virtual bool beginMessage(const std::string& directory, int counter, std::string_view dateHex,
                              std::string& error) = 0;
    virtual bool writeMessage(std::string_view bytes, std::string& error) = 0;
    // Gives the file its message name and time. With `stored` set and a false
    // result, the file is stored but its time could not be set.
    virtual bool commitMessage(FileTime time, bool& stored, std::string& error) = 0;
    virtual void abandonMessage() = 0;
};

struct ImapDialogueValues {
    MigrationSettings settings;
    AccountValues account;
    std::string captionFormat;  // "Processing [%s]\nMessage [%d] of [%d] for this User"
    int timeZoneBiasMinutes = 0;
    unsigned long logoutPauseMs = 500;
    // "/" stays in folder names whatever the server's delimiter.
    bool keepSlashInFolderNames = false;
};

class ImapDialogue {
public:
    ImapDialogue(ImapDialogueValues values, ImapDialogueHost& host, ImapMailStore& store);

    // One line from the server without its LF (a CR before it may remain).
    void onLine(std::string_view line);
    // The next piece of the literal asked for with readLiteral.
    void onLiteral(std::string_view chunk, bool last);
    // The session ends: an unfinished message file is removed.
    void abandon();

    // 0 only when the walk finished with every message stored or recognised
    // as stored and the server acknowledged LOGOUT; 1 otherwise.
    int result() const { return walkComplete_ && !incomplete_ && logoutAcknowledged_ ? 0 : 1; }
    bool logoutAcknowledged() const { return logoutAcknowledged_; }
    int totalMessages() const { return totalMessages_; }
    int messageNumber() const { return messageNumber_; }

private:
    enum class State { Greeting, Login, List, Select, Search, InternalDate, Body, Store, Logout, Done };
    enum class LiteralSink { Collect, Body, Drop };

    struct Folder {
        std::string serverName;  // as listed; sent quoted to SELECT
        std::string shownName;   // "/" removed unless the delimiter is "/"
    };

    void handleResponse();
    void outOfStep(std::string_view line);
    // The completion of the command tagged `tag`: ok() on OK; on NO or BAD the
    // server's line is logged and refused() runs. Another tagged line is out of step.
    template <typename Ok, typename Refused>
    void onCompletion(std::string_view line, std::string_view tag, Ok ok, Refused refused);
    bool isExcluded(const Folder& folder) const;
    void onGreeting(std::string_view line);
    void onLogin(std::string_view line);
    void onList(std::string_view line);
    void onSelect(std::string_view line);
    void onSearch(std::string_view line);
    void onInternalDate(std::string_view line);
    void onBody(std::string_view line);
    void onStore(std::string_view line);
    void onLogout(std::string_view line);

    void sendLogin();
    void sendList();
    void addFolder();
    void selectNextFolder();
    void beginSecondPass();
    void folderFinished(std::string_view line);
    void searchCompleted();
    void fetchNextMessage();
    void decideStore();
    void endMessage();
    void messageFailed();
    void logout();

    LiteralSink chooseLiteralSink(std::uint64_t size);
    void startBody();
    void writeBody(std::string_view bytes);
    void showCaptionForMessage();
    void advanceCapped();

    bool send(std::string_view bytes);
    void log(std::string_view text) { host_.log(text); }
    void show(std::string_view text) { host_.showLine(text); }

    ImapDialogueValues values_;
    ImapDialogueHost& host_;
    ImapMailStore& store_;
    State state_ = State::Greeting;

    // The response being read: its lines and literals so far.
    ImapResponse response_;
    bool responseOpen_ = false;
    bool literalsAllowed_ = false;
    bool streamedBody_ = false;  // this response's literal went to the message file
    LiteralSink literalSink_ = LiteralSink::Drop;
    std::uint64_t collectedBytes_ = 0;

    std::deque<Folder> folders_;
    std::deque<std::string> messageIds_;
    Folder folder_;
    std::string localFolder_;
    std::string folderDirectory_;
    int passCount_ = 0;
    int totalMessages_ = 0;
    bool transferPass_ = false;
    int messageNumber_ = 0;

    std::string currentMessageId_;
    std::optional<FileTime> messageTime_;
    FileTime storeTime_ = 0;
    std::string dateHex_;
    bool messageOpen_ = false;
    bool bodyStarted_ = false;
    bool bodyComplete_ = false;
    bool bodyFailed_ = false;
    bool lastWasCarriageReturn_ = false;
    std::string bodyError_;
    // Messages met in this run per folder directory and dateHex.
    std::map<std::pair<std::string, std::string>, int> slotCounts_;

    bool walkComplete_ = false;
    bool incomplete_ = false;
    bool logoutAcknowledged_ = false;
};

}  // namespace rvo
