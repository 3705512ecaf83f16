#pragma once
// The client side of a POP3 mailbox migration, driven by the server's lines:
// USER, PASS (or, with a bearer token, AUTH and the client's response
// after the server's "+"), LIST, then per message UIDL, a look-up in the migration
// database, RETR for a message not recorded there, and QUIT. Messages are
// never deleted on the server.
//
// A message is recorded as migrated only after its file has been stored
// completely, so every failure leaves it to be fetched again on the next run.
// Nothing is retrieved unless the database can look up and record unique-ids,
// and a look-up or record that fails ends the dialogue with QUIT (a message
// already stored is kept). The result is 0 only when QUIT was sent and every
// listed message is either stored now or was recorded before.
//
// With a window above 1 the dialogue asks CAPA after the login; only when
// the server lists PIPELINING (RFC 2449) does it ask the unique-ids of the
// whole mailbox with one UIDL, look each message up in the order of the
// listing, and send RETR for the new ones with up to the window outstanding.
// Answers come in the order of the commands, which is how each is matched to
// its command; a unique-id is still recorded only after its file is stored,
// and QUIT goes out only when everything before it is answered. A listed
// message the UIDL answer gives no usable unique-id for is not retrieved and
// leaves the account for the next run, as a refused per-message UIDL does.
// The answer is read within limits the dialogue is given. Without
// PIPELINING, and with a window of 1, one command is outstanding at a time
// and each message has its own UIDL.
//
// A message counts as stored only once the stream is known to be in step
// after it: a server that does not byte-stuff a body line "." ends the
// message early, and the rest of the body arrives where the next status line
// is expected. So a stored message is recorded only when the next line is a
// status line ("+OK" or "-ERR"); any other line there ends the session as a
// protocol error, and nothing received after it is stored or recorded. The
// message just before such a line is kept only when its size is the one LIST
// gave (some servers change a message between LIST and RETR, so in a stream
// that stays in step a different size is only logged).
//
// A unique-id that cannot be recorded is tried again a few times; when it
// still fails, the message's file is removed again, so that the next run
// stores it exactly once.
//
// A server may give two messages one unique-id. Both are stored; the second
// is recorded under the id with its occurrence appended ("<id> 2"; a space
// cannot occur in a unique-id), so each occurrence is known on its own.
//
// A check (setCheckOnly) signs in the same way and then only counts: STAT,
// LIST and UIDL, one at a time; the listed messages whose unique-ids the
// database already records are stored, the others with their listed sizes
// would be copied. The database is only read (nothing registered or
// recorded), nothing is retrieved or deleted and no file is written; one
// log line gives the counts, then QUIT.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/auth/sasl_sign_in.h"
#include "engine/core/db/migration_database.h"
#include "engine/core/pop3/pop3_body.h"
#include "engine/core/session/commands_in_flight.h"
#include "engine/core/session/ending_record.h"
#include "engine/core/session/migration_tally.h"
#include "engine/core/session/session_ending.h"

namespace rvo {

// What the dialogue needs from the session around it.
class Pop3Environment {
public:
    virtual ~Pop3Environment() = default;

    // One command line, CR LF included. False when it could not be sent; the
    // session has then ended and the dialogue stops.
    virtual bool send(std::string_view command) = 0;
    // Ends the dialogue without QUIT.
    virtual void closeWithoutQuit() = 0;

    virtual void report(std::string_view text) = 0;
    virtual void showLine(std::string_view text) = 0;
    // The caption for message `number` of `count`.
    virtual void showMessageProgress(int number, int count) = 0;

    virtual std::unique_ptr<MigrationDatabase> openDatabase() = 0;

    // The account's inbox directory, created with its missing parents.
    virtual bool prepareInbox(std::string& error) = 0;
    // Starts the file of message `number`; nothing is visible in the inbox
    // until commitMessage succeeds.
    virtual bool beginMessage(int number, std::string& error) = 0;
    // One message line, without its line end.
    virtual bool writeMessageLine(std::string_view line, std::string& error) = 0;
    // Makes the message a stored file. False: nothing is stored.
    virtual bool commitMessage(std::string& error) = 0;
    // Drops an unfinished message; harmless when none is open.
    virtual void abandonMessage() = 0;
    // Removes the file of the message committed last (the program's own,
    // stored moments ago). False, with `error` set, when it stays.
    virtual bool removeStoredMessage(std::string& error) = 0;
    // Waits before a record is tried again.
    virtual void pause(unsigned long milliseconds) = 0;
};

// How often a unique-id record is tried before the message is given up, and
// the wait between two tries.
struct Pop3RecordRetry {
    int attempts = 3;
    unsigned long pauseMs = 1000;
};

// Bounds on the answer to UIDL for the whole mailbox (pipelined mode only).
struct Pop3Limits {
    // A longer line gives its message no unique-id.
    std::size_t uidlLineBytes = 1024;
    // Lines read past this many are not used; their messages are left for the next run.
    std::size_t uidlLines = 1000000;
};

struct Pop3Account {
    std::string serverAddress;  // the server's name in the database, as configured
    std::string user;           // the account's name in the database
    std::string password;
    // The name sent in USER when it differs from `user`; empty: `user`.
    std::string sourceUser;
    // Set: the account signs in with AUTH <mechanism> instead of USER and PASS.
    std::optional<SaslSignIn> signIn;

    const std::string& loginName() const { return sourceUser.empty() ? user : sourceUser; }
};

enum class Pop3State {
    AwaitGreeting,
    UserSent,
    PassSent,
    AuthSent,  // AUTH with a bearer token
    CapaSent,
    ListSent,
    UidlSent,
    UidlListSent,  // UIDL for the whole mailbox
    Retrieving,
    QuitSent,
    Closed,
    CheckStatSent,  // a check: STAT, then LIST, then UIDL for the whole mailbox
    CheckListSent,
    CheckUidlSent,
};

// Longest unique-id recorded; RFC 1939 allows 70, the database column 255.
inline constexpr std::size_t kMaxUidlLength = 255;

// Why the account's credentials must not be sent, or empty: a CR, LF or
// zero byte would end the command early and send the rest as a command.
std::string credentialProblem(const Pop3Account& account);

// The unique-id of a UIDL answer "+OK <number> <unique-id>" for message
// `number`; empty with `problem` set when there is none to trust.
std::string uidlFromAnswer(std::string_view answer, int number, std::string& problem);
// One line "<number> <unique-id>" of the answer to UIDL for the whole
// mailbox: the number, 0 when there is none, and the unique-id, empty with
// `problem` set when there is none to trust.
std::string uidlFromListingLine(std::string_view line, int& number, std::string& problem);

// The message number at the start of a LIST line, or 0 when there is none.
int listedMessageNumber(std::string_view line);
// The size after the number of a LIST line, or -1 when there is none.
long long listedMessageSize(std::string_view line);

// True for "+OK" and "-ERR" lines: the first line of every answer.
bool isPop3StatusLine(std::string_view line);

class Pop3Dialogue {
public:
    static constexpr std::string_view kUnknownError = "Unknown Error in Pop3ActiveObj";

    // `window`: commands that may be outstanding at once (1 to 64), used
    // only when the server lists PIPELINING, as are the `limits`.
    Pop3Dialogue(Pop3Environment& environment, Pop3Account account, int window = 1, const Pop3Limits& limits = {});

    void setRecordRetry(const Pop3RecordRetry& retry) { retry_ = retry; }
    // Signs in with AUTH instead of USER and PASS; before the greeting arrives.
    void setSignIn(SaslSignIn signIn) { account_.signIn = std::move(signIn); }
    // Only counts what a migration would copy; before the connection opens.
    void setCheckOnly(bool checkOnly) { checkOnly_ = checkOnly; }
    // What a check counted (all zero when the dialogue migrates).
    const CheckCounts& checkCounts() const { return checkCounts_; }

    // The connection is open: the server is registered.
    void connected();
    // One line from the server without its line end.
    void onLine(std::string_view line);
    // The session is over however it ended: an unfinished message is dropped.
    void sessionEnded();
    // Commands the session held for sending could not be sent: QUIT, if it
    // was among them, never reached the server.
    void commandsLost() { quitSent_ = false; }
    // QUIT went out: the server's close after it ends the session normally.
    bool quitSent() const { return quitSent_; }

    // A check: 0 when the counts are complete and QUIT was sent.
    int result() const {
        if (checkOnly_) return quitSent_ && checkComplete_ ? 0 : 1;
        return quitSent_ && !tally_.leftForNextRun() ? 0 : 1;
    }
    // The most commands that were outstanding at once.
    std::size_t mostInFlight() const { return inFlight_.mostInFlight(); }
    Pop3State state() const { return state_; }
    // The account's closing line: what was stored, recognised and failed, and why it is left when it is.
    std::string summary() const;
    // What the dialogue saw of how the session ends (refusals, store and
    // database failures), and what it did to the messages.
    const EndingRecord& ending() const { return ending_; }
    const MigrationTally& tally() const { return tally_; }

private:
    // False after logging an empty or negative answer (a negative one also ends the dialogue).
    bool positiveAnswer(std::string_view line);
    void onGreeting(std::string_view line);
    void onLoginAnswer(std::string_view line);
    void sendAuth();
    void onAuthAnswer(std::string_view line);
    // Logged in: CAPA or LIST.
    void loggedIn();
    void onCapaLine(std::string_view line);
    void sendList();
    void onListLine(std::string_view line);
    void onUidlAnswer(std::string_view line);
    void onUidlListLine(std::string_view line);
    void readUidlListEntry(std::string_view line);
    // Logs what of the answer to UIDL was not used.
    void reportUnusedUidlLines();
    void onMessageLine(std::string_view line);

    // Sends what the window allows; QUIT once nothing is left and all is answered.
    void nextMessageOrQuit();
    bool askUidl();
    void askUidlList();
    // Looks up the next listed message by its unique-id from the answer to UIDL.
    void lookUpListed();
    // Decides on message currentNumber_ with unique-id `uidl`: recognised,
    // waiting for its RETR, or failed. Sends nothing.
    void lookUp(const std::string& uidl);
    bool sendRetr();
    bool sent(const char* format, int number);
    void completeMessage();
    void dropMessage();
    // A status line arrived: the message stored before it is recorded.
    // False when its record failed (the file is removed again and QUIT is
    // wanted).
    bool confirmStored();
    // No status line followed the stored message: it is kept only when its
    // size is the listed one. `why` is said in the log when it is removed.
    void settleUnconfirmed(const char* why);
    // Records the unique-id of the stored message, trying again as allowed;
    // false after removing its file again.
    bool recordStored();
    void removeStored(const char* why);
    // A line where a status line belongs: the answers no longer match the
    // commands, so the session ends without anything more.
    void outOfStep(std::string_view line);
    // The current message failed and is left for the next run.
    void skipMessage(std::string_view reason);
    // As skipMessage, without going on to the next command.
    void failMessage(std::string_view reason);
    // The state that reads the answer to the oldest command in flight.
    Pop3State answerState() const;
    void quit();
    // Says why in the summary; also ends the dialogue without QUIT.
    void refused(std::string_view reason);
    void close();
    bool sendFormatted(const char* format, int number);

    // The check: STAT, LIST and UIDL read, then the counts.
    void sendCheckStat();
    void onCheckLine(std::string_view line);
    // False after logging a line where a status line belongs (the session ends).
    bool checkStatus(std::string_view line, const char* command);
    void countChecked();
    // A refused STAT or LIST: the check ends unfinished, with the server's line as its cause.
    void refusedCheck(std::string_view line, std::string_view reason);

    // Server and user keys; 0 when the database cannot say. Looked up
    // until found, then kept.
    bool accountKeys(MigrationDatabase& database, int& serverId, int& userId);
    // False after logging `what` failed (with the database's own words) and
    // sending QUIT, the account left for the next run.
    bool databaseHolds(const MigrationDatabase& database, bool keysFound, const std::string& what);

    struct Command {
        bool retr = false;
        int number = 0;  // 0: UIDL for the whole mailbox
        std::string uidl;  // RETR: the unique-id to record once stored
        bool statusSeen = false;
    };

    Pop3Environment& env_;
    Pop3Account account_;
    Pop3Limits limits_;
    std::size_t wantedWindow_ = 1;
    bool capaStatusSeen_ = false;
    int serverId_ = 0;
    int userId_ = 0;
    // Answered in the order sent: the oldest takes each answer. Its window
    // is 1 until the server lists PIPELINING.
    CommandsInFlight<Command> inFlight_;
    std::deque<std::pair<int, std::string>> toRetrieve_;  // new messages whose RETR waits for room
    bool quitWanted_ = false;
    Pop3State state_ = Pop3State::AwaitGreeting;
    bool listStatusSeen_ = false;
    std::deque<int> messageNumbers_;
    int messageCount_ = 0;
    int currentNumber_ = 0;
    // The unique-id as recorded: the server's, with the occurrence after a space from the second on.
    std::string currentUidl_;
    // Per unique-id of this listing: the first message that had it, and how many have had it.
    std::map<std::string, std::pair<int, int>, std::less<>> occurrences_;
    bool messageOpen_ = false;
    Pop3BodyReader body_;
    std::map<int, long long> listedSizes_;
    // The answer to UIDL for the whole mailbox, per listed message number.
    struct ListedUidl {
        std::string uidl;
        std::string problem;  // not empty: no unique-id to trust
        bool lookedUp = false;
    };
    std::map<int, ListedUidl> listedUidls_;
    bool uidlsListed_ = false;  // that answer is read: messages are looked up from it
    std::size_t uidlLinesRead_ = 0;
    std::size_t uidlLinesUnlisted_ = 0;  // without a listed message number
    // The message stored last, until a status line shows the stream in step.
    struct Stored {
        bool waiting = false;
        int number = 0;
        std::string uidl;
        std::uint64_t octets = 0;
    } stored_;
    Pop3RecordRetry retry_;
    bool quitAnswered_ = false;
    bool quitSent_ = false;
    MigrationTally tally_;
    EndingRecord ending_;
    bool loggingOutShown_ = false;
    // AUTH: the initial response went out, and the status of the server's
    // failure challenge once one came.
    bool initialResponseSent_ = false;
    std::optional<std::string> challengeStatus_;

    bool checkOnly_ = false;
    bool checkStatusSeen_ = false;
    bool checkComplete_ = false;
    CheckCounts checkCounts_;
};

}  // namespace rvo
