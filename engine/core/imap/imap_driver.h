#pragma once
// The protocol side of the migration's IMAP4 conversation: it reads the
// server's responses (literals by byte count, a SEARCH answer of any length
// number by number), keeps the commands in flight with their tags, and
// offers one call per operation: capability, login or authenticate, list,
// select, search, list dates, fetch a body, flag, logout. Each operation has one completion, carrying a
// small result word; what the data means, which message it belongs to and
// what to do next is the folder walk's business, told through the client.
//
// One command at a time, the tags are the fixed ones of the one-at-a-time
// dialogue ("A004" for every body fetch) and messages are addressed by
// number. With a window above 1 every command of the transfer gets a tag of
// its own ("T0001", "T0002", ...) and messages are addressed by UID.
//
// Every error of the conversation itself ends it once, through the client:
// a response that cannot be read (onBroken), a completion of no command in
// flight (onOutOfStep), a command that cannot be sent (the send fails, and
// the session has then ended). Commands still in flight then never complete.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/imap/imap_capabilities.h"
#include "engine/core/imap/imap_command_runner.h"
#include "engine/core/imap/imap_opening.h"
#include "engine/core/imap/imap_response_reader.h"
#include "engine/core/imap/imap_search_reader.h"
#include "engine/core/imap/imap_syntax.h"
#include "engine/core/imap/imap_untagged_log.h"

namespace rvo {

// The word an operation's completion carries.
enum class ImapResult {
    Ok,       // completed with OK
    Refused,  // completed with NO or BAD; the line says why
    Gone,     // a body fetch by UID completed without the body: the UID is no longer there
};

struct ImapOutcome {
    ImapResult result = ImapResult::Ok;
    ImapStatus status = ImapStatus::None;  // OK, NO or BAD as the server said it
    std::string_view line;                 // the completion as the server sent it
    // By number: an EXPUNGE arrived while the command was in flight, so the
    // server may have run it on another message than the one it named.
    bool crossedExpunge = false;
};

// What the driver tells the walk as the server's responses arrive.
class ImapDriverClient {
public:
    virtual ~ImapDriverClient() = default;
    virtual void readLiteral(std::uint64_t count) = 0;
    // The greeting: "* OK" (ok) or anything else.
    virtual void onGreeting(std::string_view line, bool ok) = 0;
    // A folder of the LIST answer, or one that could not be read (`why`).
    virtual void onFolder(const ImapListEntry& entry) = 0;
    virtual void onUnreadableFolder(std::string_view line, const std::string& why) = 0;
    // "* n EXPUNGE" and "* n EXISTS" while a folder is selected.
    virtual void onExpunge(std::uint32_t number) = 0;
    virtual void onExists(std::uint32_t count) = 0;
    // Untagged data while the transfer runs: a FETCH response (`fetch`) or
    // any other line (`fetch` empty).
    virtual void onTransferData(const std::optional<ImapFetchResponse>& fetch, std::string_view line) = 0;
    // A BODY[] literal begins at the end of `soFar`; true: its bytes go to onBodyPiece.
    virtual bool takesBody(const ImapFetchResponse& soFar) = 0;
    virtual void onBodyPiece(std::string_view chunk) = 0;
    // The response whose literal was taken is complete.
    virtual void onBodyResponseEnded() = 0;
    // An untagged line of no meaning to the login or the folder list.
    virtual void onUntagged(std::string_view line) { (void)line; }
    // "* BYE" after the greeting and before LOGOUT: the server is leaving
    // (the line is logged already; the server's close ends the session).
    virtual void onBye(std::string_view line) { (void)line; }
    // A command's completion has run.
    virtual void onAnswered() = 0;
    // A tagged line of no command in flight.
    virtual void onOutOfStep(std::string_view line) = 0;
    // Nothing after this can be read.
    virtual void onBroken(const std::string& what) = 0;
    virtual void log(std::string_view text) = 0;
};

struct ImapDriverValues {
    std::size_t window = 1;
    // Message numbers one SEARCH answer may hold.
    std::size_t maxSearchNumbers = 10'000'000;
    // Untagged lines of one kind logged per command's answer.
    std::size_t maxLoggedUntaggedPerKind = 50;
    ImapResponseLimits responseLimits;
    ImapCapabilityLimits capabilityLimits;
};

class ImapDriver : private ImapResponseReader::Client {
public:
    using Completion = std::function<void(const ImapOutcome&)>;
    // Writes a whole command line; false when the connection failed.
    using Send = std::function<bool(std::string_view bytes)>;
    // A continuation request ("+ <text>") while AUTHENTICATE is in flight:
    // returns the line to answer it with (without its CR LF).
    using Continuation = std::function<std::string(std::string_view text)>;

    ImapDriver(ImapDriverValues values, Send send, ImapDriverClient& client);

    // The server's bytes.
    void onLine(std::string_view line);
    bool acceptsLongLine(std::string_view start);
    void onLinePiece(std::string_view piece, bool last);
    void onLiteral(std::string_view chunk);

    bool byUid() const { return byUid_; }
    std::size_t window() const { return runner_.window(); }
    bool hasRoom() const { return runner_.hasRoom(); }
    bool idle() const { return runner_.idle(); }
    std::size_t mostInFlight() const { return runner_.mostInFlight(); }

    // Each operation sends its command and returns the line as the log shows
    // it; empty when the connection failed (the conversation has then ended).
    // CAPABILITY (tag C000); the answer goes to capabilities().
    std::optional<std::string> capability(Completion done);
    std::optional<std::string> login(const ImapCommand& login, Completion done);
    // AUTHENTICATE <mechanism> (tag A000), with the initial response on the
    // command line when one is given (the server lists SASL-IR). Every
    // continuation request until the completion goes to `onContinuation`,
    // whose answer is sent as a line of its own. The log shows the initial
    // response masked; the answers are never shown.
    std::optional<std::string> authenticate(std::string_view mechanism, std::optional<std::string_view> initialResponse,
                                            Continuation onContinuation, Completion done);
    std::optional<std::string> list(Completion done);
    std::optional<std::string> select(std::string_view quotedName, Completion done);
    // The folder's messages: numbers, or UIDs when byUid(), into `found`.
    std::optional<std::string> search(bool all, std::deque<std::uint32_t>& found, Completion done);
    // A check of the account: the folder opened read-only (EXAMINE), so
    // that neither its flags nor its recent state change on the server.
    std::optional<std::string> examine(std::string_view quotedName, Completion done);
    // A check of the account: the folder's UIDs into `found` (UID SEARCH,
    // whatever the window), to be held against the store's records.
    std::optional<std::string> searchUids(bool all, std::deque<std::uint32_t>& found, Completion done);
    // A check of the account: the sizes of the messages with these UIDs
    // (ascending), handed to onTransferData; no body is asked for.
    std::optional<std::string> listSizes(const std::vector<std::uint32_t>& uids, Completion done);
    // By UID: the dates of the messages with these UIDs (ascending), handed to onTransferData.
    std::optional<std::string> listDates(const std::vector<std::uint32_t>& uids, Completion done);
    // By number: the date and UID of one message.
    std::optional<std::string> fetchDate(std::uint32_t number, Completion done);
    // The message's body (by UID or by number), handed to takesBody/onBodyPiece
    // or, sent as a string, to onTransferData.
    std::optional<std::string> fetchBody(std::uint32_t address, Completion done);
    std::optional<std::string> flagDeleted(std::uint32_t address, Completion done);
    std::optional<std::string> logout(Completion done, std::string_view tag = "A006");

    // The selected folder as the server announced it.
    std::uint32_t uidValidity() const { return uidValidity_; }
    std::uint32_t exists() const { return exists_; }
    const ImapSearchReader& searchAnswer() const { return search_; }
    // From the greeting's response code, or the last answer to CAPABILITY.
    const ImapCapabilities& capabilities() const { return capabilities_; }

    // The server's most recent NO, BAD or BYE line (tagged or untagged, the
    // BYE that answers LOGOUT aside), cut to kMaxRefusalBytes; empty when none came.
    const std::string& lastRefusal() const { return lastRefusal_; }
    static constexpr std::size_t kMaxRefusalBytes = 1024;

    // The conversation is over (LOGOUT answered, or abandoned): nothing more is read.
    void end();
    bool ended() const { return phase_ == Phase::Done; }
    // Everything in flight is forgotten (the conversation is being abandoned).
    void forget() { runner_.forget(); }
    // The answer to the last command is complete, or the session ends.
    void untaggedAnswerEnded();
    // An untagged line, or a text about one: logged within the limit per answer.
    void logUntagged(std::string_view line, std::string_view text);
    void logUntagged(std::string_view line) { logUntagged(line, line); }

private:
    enum class Phase { Greeting, Capability, Login, Authenticate, List, Select, Search, Transfer, Logout, Done };

    void readLiteral(std::uint64_t count) override { client_.readLiteral(count); }
    bool takesLiteral(const ImapResponse& soFar, std::uint64_t size) override;
    void onTakenLiteral(std::string_view chunk) override { client_.onBodyPiece(chunk); }
    void onResponse(const ImapResponse& response) override;
    void onProtocolError(const std::string& what) override;

    std::string tagFor(std::string_view fixed);
    std::optional<std::string> send(Phase phase, std::string_view tag, std::string line, Completion done,
                                    std::string logged = {});
    bool onMailboxSize(std::string_view line);
    std::optional<std::string> searchFor(bool uids, bool all, std::deque<std::uint32_t>& found, Completion done);
    // A FETCH response carrying a body and a UID answers the body fetch by that UID.
    void noteBody(const ImapResponse& response);

    ImapDriverValues values_;
    Send send_;
    ImapDriverClient& client_;
    ImapResponseReader reader_;
    ImapCommandRunner runner_;
    ImapSearchReader search_;
    UntaggedLogLimit untaggedLog_;
    ImapCapabilities capabilities_;
    Continuation continuation_;
    bool byUid_;
    std::uint32_t tagCounter_ = 0;
    Phase phase_ = Phase::Greeting;
    std::deque<std::uint32_t>* found_ = nullptr;
    bool longSearchLine_ = false;
    bool selected_ = false;
    std::uint32_t uidValidity_ = 0;
    std::uint32_t exists_ = 0;
    // Body fetches by UID in flight, and whether their body came.
    std::deque<std::pair<std::uint32_t, bool>> bodiesByUid_;
    std::string lastRefusal_;
};

}  // namespace rvo
