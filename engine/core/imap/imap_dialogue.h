#pragma once
// The IMAP4 dialogue of one account's migration: greeting, LOGIN (or, with
// a bearer token, CAPABILITY when the greeting does not list them and
// AUTHENTICATE), LIST, a
// counting pass and a transfer pass over the selectable folders (SELECT,
// SEARCH, per message FETCH of INTERNALDATE, the store decision, FETCH of
// BODY.PEEK[] into a message file, optional STORE of \Deleted), LOGOUT.
//
// Every command goes through a command runner, which keeps the commands in
// flight and matches each completion ("<tag> OK|NO|BAD", whatever text
// follows) to the command that carries its tag. With a window of 1 the
// dialogue is strictly one command at a time and addresses messages by
// their numbers, as the server numbers them at that moment.
//
// With a wider window the transfer addresses every message by its UID, so
// that an EXPUNGE or a new arrival from another client cannot redirect a
// command: the search is a UID SEARCH, the UIDs and dates of a folder's
// messages come from UID FETCH listings of a bounded number of UIDs each
// (none for a message the records already name as stored), each body is
// one UID FETCH and each deletion flag one UID STORE, every one of them
// with a tag of its own. The folder walk decides in message order whether
// each is stored, sends body fetches up to the window, writes each body as
// its literal arrives, commits the files in order of arrival and flags a
// message \Deleted only after its file is committed; nothing is in flight
// when the next folder is selected or LOGOUT is sent. A UID that the server
// no longer has when its body is asked for is gone, not failed.
//
// Responses are read with their literals by byte count; the literal of a
// message body goes straight to the message file as it arrives. The session
// feeds lines and literal pieces in; the dialogue answers through its host
// and its store.
//
// A message is skipped as stored only when the store's records tie a file
// still present to that very message (folder, UIDVALIDITY, UID); any other
// message is fetched, and when a stored file of its two-second slot may hold
// it already (records lost, or left by an earlier version) the two are
// compared byte for byte before anything is committed. Message numbers
// follow the server's EXPUNGE responses; messages announced by EXISTS during
// the transfer are left for the next run.
//
// With checkOnly set the dialogue only counts: after LIST it opens each
// folder the walk would take read-only (EXAMINE), asks the same search by
// UID, holds the UIDs against the folder's records (read, never written)
// and asks the sizes of the others (UID FETCH ... (RFC822.SIZE), in
// listings of maxUidsPerListing UIDs, up to the window at once). No body is
// fetched, no flag set, no directory or file made. Each folder and the
// account get one log line with the counts; a folder that cannot be
// examined is logged and left out.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/auth/sasl_sign_in.h"
#include "engine/core/imap/imap_driver.h"
#include "engine/core/imap/imap_opening.h"
#include "engine/core/imap/imap_syntax.h"
#include "engine/core/session/ending_record.h"
#include "engine/core/session/migration_tally.h"
#include "engine/core/session/session_ending.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/file_time.h"
#include "engine/core/store/stored_folder.h"

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
    // The names of the files in the directory (a missing directory holds none).
    virtual bool listFolder(const std::string& directory, std::vector<std::string>& names, std::string& error) = 0;
    // The text of the directory's record file (kRecordFileName); empty when there is none.
    virtual bool readRecords(const std::string& directory, std::string& text, std::string& error) = 0;
    virtual bool appendRecords(const std::string& directory, std::string_view lines, std::string& error) = 0;
    virtual bool beginMessage(const std::string& directory, int counter, std::string_view dateHex,
                              std::string& error) = 0;
    virtual bool writeMessage(std::string_view bytes, std::string& error) = 0;
    // True when what was written is byte for byte the file `name` of the
    // message's directory. False with `error` set when either could not be read.
    virtual bool sameAsStored(const std::string& name, std::string& error) = 0;
    // Gives the file its message name (returned in `name`) and time. With
    // `stored` set and a false result, the file is stored but its time could not be set.
    virtual bool commitMessage(FileTime time, std::string& name, bool& stored, std::string& error) = 0;
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
    // Message numbers one SEARCH answer may hold (4 bytes each while the
    // folder is walked); a folder with more ends the session.
    std::size_t maxSearchNumbers = 10'000'000;
    // Untagged lines of one kind logged per command's answer; the rest are counted.
    std::size_t maxLoggedUntaggedPerKind = 50;
    // UIDs named by one listing command while commands are pipelined (a
    // UID of at most 10 digits each keeps the command line within a few KB);
    // the walk holds about twice as many messages at a time.
    std::size_t maxUidsPerListing = 300;
    ImapResponseLimits responseLimits;
    // Set: the account signs in with AUTHENTICATE instead of LOGIN.
    std::optional<SaslSignIn> signIn;
    // Bounds on the server's capability list (read only when signIn is set).
    ImapCapabilityLimits capabilityLimits;
};

// The folder walk: what to copy and in which order, composed of the
// driver's operations.
class ImapDialogue : private ImapDriverClient {
public:
    ImapDialogue(ImapDialogueValues values, ImapDialogueHost& host, ImapMailStore& store);
    // Signs in with AUTHENTICATE instead of LOGIN; before the greeting arrives
    // (the token is fetched once the session runs).
    void setSignIn(SaslSignIn signIn) { values_.signIn = std::move(signIn); }

    // One line from the server without its LF (a CR before it may remain).
    void onLine(std::string_view line);
    // A line too long to be held whole; `start` is its beginning. True: it
    // is a SEARCH answer, read as its numbers arrive through onLinePiece.
    bool acceptsLongLine(std::string_view start);
    // The next piece of an accepted long line; `last` ends it (the line end
    // as for onLine).
    void onLinePiece(std::string_view piece, bool last);
    // The next piece of the literal asked for with readLiteral.
    void onLiteral(std::string_view chunk, bool last);
    // The session ends: an unfinished message file is removed.
    void abandon();

    // 0 only when the walk finished with every message stored or recognised
    // as stored and the server acknowledged LOGOUT; 1 otherwise.
    // A check: 0 when every folder was walked (those that could not be
    // examined are logged) and the server acknowledged LOGOUT.
    int result() const {
        if (values_.settings.checkOnly) return checkComplete_ && logoutAcknowledged_ ? 0 : 1;
        return walkComplete_ && !tally_.leftForNextRun() && logoutAcknowledged_ ? 0 : 1;
    }
    // What a check counted (all zero when the dialogue migrates).
    const CheckCounts& checkCounts() const { return checkCounts_; }
    bool logoutAcknowledged() const { return logoutAcknowledged_; }
    int totalMessages() const { return totalMessages_; }
    // One line for the log at the end: messages stored, recognised as
    // stored and failed, and whether (and why) the account is left for the next run.
    std::string summary() const;
    int messageNumber() const { return messageNumber_; }
    // The most commands that were in flight at once.
    std::size_t mostInFlight() const { return driver_.mostInFlight(); }
    // After signing in with a token, the server ended the session because
    // the token expired: a new token may carry the account on.
    bool tokenExpired() const { return tokenExpired_; }
    // What the dialogue saw of how the session ends (the first decisive
    // refusal or store failure, the server's last refusal line), and what
    // it did to the messages.
    EndingRecord ending() const;
    const MigrationTally& tally() const { return tally_; }

private:
    enum class State { Greeting, Login, List, Select, Search, Transfer, Check, Logout, Done };

    // A message of the selected folder from its INTERNALDATE fetch until it
    // is stored, recognised, gone or failed (and, with MARK_DELETED, flagged).
    struct Message {
        enum class Step { DateWanted, DateSent, Dated, BodyWanted, BodySent, StoreWanted, StoreSent, Done };
        explicit Message(std::uint32_t n) : number(n) {}
        std::uint32_t number;  // follows EXPUNGE responses; 0 while not known (by UID)
        std::uint32_t uid = 0;
        bool expunged = false;
        Step step = Step::DateWanted;
        bool dateRefused = false;
        bool decided = false;
        bool advanced = false;  // deciding moved the message number on
        std::optional<FileTime> time;
        int counter = 0;
        FileTime storeTime = 0;
        std::string dateHex;
        bool ownsFile = false;
        bool fileFailed = false;
        bool bodyStarted = false;
        bool bodyOffered = false;  // by UID: the server sent a body for it, taken or not
        bool bodyComplete = false;
        bool bodyFailed = false;
        bool lastWasCarriageReturn = false;
        std::string bodyError;
        std::uint64_t fileBytes = 0;  // written into its file so far
        // The file was finished before the body fetch's completion came;
        // `afterBody` is where that completion leads.
        bool fileDone = false;
        Step afterBody = Step::Done;
    };

    struct Folder {
        std::string serverName;  // as listed; sent quoted to SELECT
        std::string shownName;   // "/" removed unless the delimiter is "/"
    };

    // ImapDriverClient
    void readLiteral(std::uint64_t count) override { host_.readLiteral(count); }
    void onGreeting(std::string_view line, bool ok) override;
    void onFolder(const ImapListEntry& entry) override { addFolder(entry); }
    void onUnreadableFolder(std::string_view line, const std::string& why) override;
    void onExpunge(std::uint32_t number) override;
    void onExists(std::uint32_t count) override;
    void onTransferData(const std::optional<ImapFetchResponse>& fetch, std::string_view line) override;
    bool takesBody(const ImapFetchResponse& soFar) override;
    void onBodyPiece(std::string_view chunk) override {
        if (literalOwner_) writeBody(*literalOwner_, chunk);
    }
    void onBodyResponseEnded() override;
    void transferData(const std::optional<ImapFetchResponse>& fetch, std::string_view line);
    void onAnswered() override { pump(); }
    void onBye(std::string_view line) override;
    void onOutOfStep(std::string_view line) override;
    // The server broke the protocol so that nothing after can be read: logged, connection closed.
    void onBroken(const std::string& what) override;
    void log(std::string_view text) override { host_.log(text); }

    // The account is not complete; the first reason is the one the summary gives.
    void leaveForNextRun(std::string_view reason);
    // A completion handler: ok() on OK; otherwise the server's line is
    // logged and refused() runs.
    template <typename Ok, typename Refused>
    ImapDriver::Completion onCompletion(Ok ok, Refused refused);
    // False when the command could not be sent (the dialogue has then ended).
    bool sent(const std::optional<std::string>& line);
    bool isExcluded(const Folder& folder) const;
    void onLogin(const ImapOutcome& done);
    void onListed(const ImapOutcome& done);
    void selected();
    void onLogoutCompleted(const ImapOutcome& done);

    void sendLogin();
    // With a token: the capabilities, then AUTHENTICATE.
    void signInWithToken();
    void sendAuthenticate();
    std::string onSignInContinuation(std::string_view text);
    void onSignedIn(const ImapOutcome& done);
    bool sendListCommand();
    void sendList();
    void addFolder(const ImapListEntry& entry);
    void selectNextFolder();
    void noteSharedDirectory();
    void beginSecondPass();
    void searchCompleted();
    bool loadStoredFolder();

    // The transfer: what to send next, and each message's steps.
    void pump();
    void decideInOrder();
    bool sendFor(Message& m);
    // By UID: the next UIDs of the search go into the walk; those the
    // records do not name are listed with one command.
    bool sendListing();
    void onListingCompleted(const ImapOutcome& done);
    Message* messageByUid(const ImapFetchResponse& fetch, Message::Step step);
    // The message whose body fetch the response answers.
    Message* bodyMessage(const ImapFetchResponse& fetch);
    // "message 7", or by UID "the message with UID 1007", as log lines name it.
    std::string messageName(const Message& m) const;
    void onDateCompleted(Message& m, const ImapOutcome& done);
    void onBodyCompleted(Message& m, const ImapOutcome& done);
    Message* inFlightMessage(std::string_view number, Message::Step step);
    bool takeDate(Message& m, const ImapFetchResponse& fetch, std::string_view line);
    void decideStore(Message& m);
    bool beginFile(Message& m);
    // Opens the message's file (freeing the store first) and writes its
    // first line; false when the body cannot be taken now.
    bool openBody(Message& m);
    void takeWholeBody(Message& m, const ImapFetchItem& item);
    void endMessage(Message& m);
    // Frees the store for `next` when the message holding it is complete.
    bool storeFreeFor(Message& next);
    bool matchesStoredCopy(Message& m);
    void record(const Message& m, const std::string& fileName);
    void skipStored(Message& m);
    void messageGone(Message& m);
    void messageFailed(Message& m);
    void abandon(Message& m);
    void logout();

    // The check of the account (checkOnly): one folder after another.
    void checkNextFolder();
    void checkExamined();
    void checkSearched();
    // Reads the folder's records (never writes them); false leaves them unknown.
    void loadRecordsForCheck();
    // Sends the size listings the window has room for; the folder's line
    // once all are answered.
    void checkPump();
    void onCheckData(const std::optional<ImapFetchResponse>& fetch, std::string_view line);
    void checkedFolderDone();

    MessageIdentity identity(const Message& m) const { return {folder_.serverName, driver_.uidValidity(), m.uid}; }
    void startBody(Message& m);
    void writeBody(Message& m, std::string_view bytes);
    void showCaptionForMessage();
    bool advanceCapped();

    void logUntagged(std::string_view line, std::string_view text) { driver_.logUntagged(line, text); }
    void logUntagged(std::string_view line) { driver_.logUntagged(line); }
    void show(std::string_view text) { host_.showLine(text); }

    ImapDialogueValues values_;
    ImapDialogueHost& host_;
    ImapMailStore& store_;
    State state_ = State::Greeting;

    ImapDriver driver_;

    std::deque<Folder> folders_;
    std::set<std::string> listedFolders_;  // every server folder of the last LIST
    // Transfer pass: the first server folder stored in each directory (by its
    // case-folded path, as Windows compares them).
    std::map<std::string, std::string> directoryOwners_;
    std::deque<std::uint32_t> messageIds_;
    Folder folder_;
    std::string localFolder_;
    std::string folderDirectory_;
    int passCount_ = 0;
    int totalMessages_ = 0;
    bool transferPass_ = false;
    int messageNumber_ = 0;

    bool newMessagesNoted_ = false;
    StoredFolder stored_;
    bool recordsExist_ = false;

    std::deque<Message> messages_;       // in message order; references stay valid
    Message* fileOwner_ = nullptr;       // the message whose file the store has open
    Message* literalOwner_ = nullptr;    // the message whose body literal is arriving
    bool listingInFlight_ = false;

    bool walkComplete_ = false;
    MigrationTally tally_;
    EndingRecord ending_;
    bool logoutAcknowledged_ = false;

    // Signing in with a token: the initial response went out, and the
    // status of the server's failure challenge (once one came).
    bool initialResponseSent_ = false;
    std::optional<std::string> challengeStatus_;
    bool signedIn_ = false;
    bool tokenExpired_ = false;

    // The check of the account: the folder in hand and the account's counts.
    struct CheckedFolder {
        std::vector<std::uint32_t> uids;  // ascending: those the records do not name
        std::vector<bool> sized;          // per UID: its size has been counted
        std::size_t nextListed = 0;       // the first UID not yet in a listing
        std::size_t listingsInFlight = 0;
        std::uint64_t bytes = 0;
        std::uint64_t alreadyStored = 0;
    } checked_;
    CheckCounts checkCounts_;
    bool checkComplete_ = false;
};

}  // namespace rvo
