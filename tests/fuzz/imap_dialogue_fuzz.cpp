// Server bytes into a whole IMAP migration: response reading with literals,
// LIST, SEARCH (past the line bound too), FETCH and the store decision. The
// first byte picks the piece size the bytes arrive in, the switches and the
// window (1, 6, 11 or 16 commands in flight), so splits and settings are
// explored with the transcript.
//
// Checked as a transcript test would: the store holds one message file at a
// time and every file begun is committed or abandoned by the end; nothing is
// recorded but a committed file or a stored file the comparison matched;
// the window is never exceeded; every log line fits its bound as the session
// writes it; the password reaches no log line unless the server sent it.
// A transcript that names "AUTH=" anywhere is signed in with a bearer token,
// whose initial response reaches no log line unless the server sent it.
// One that names "READ-ONLY" anywhere is only checked: then no directory,
// message file or record is ever asked of the store, no body is asked of
// the server, and the counts never exceed what the searches found.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_dialogue.h"
#include "engine/core/imap/imap_opening.h"
#include "engine/core/log/credential_mask.h"
#include "engine/core/log/log_text.h"
#include "engine/core/net/line_assembler.h"
#include "engine/core/store/message_names.h"
#include "engine/core/store/message_records.h"

namespace {

using namespace rvo;

// Names the broken invariant's line before stopping, so a finding says which one.
void checkAt(bool holds, int line) {
    if (holds) return;
    std::fprintf(stderr, "imap_dialogue_fuzz: invariant at line %d broken\n", line);
    __builtin_trap();
}
#define check(holds) checkAt((holds), __LINE__)

constexpr std::string_view kStoredName = "200603081403090001-0000000200000000346749F5.imap";
// Quotes, a backslash, a blank and a format directive: every way it can be written differs.
constexpr std::string_view kPassword = "Zq9%s\"x y\\";
constexpr std::string_view kObjectName = "IMap2XRV Object";
// "user=alice^Aauth=Bearer Tok9^A^A"
constexpr std::string_view kInitialResponse = "dXNlcj1hbGljZQFhdXRoPUJlYXJlciBUb2s5AQE=";

class CheckingStore : public ImapMailStore {
public:
    std::string localFolderName(std::string_view name) override { return std::string(name); }
    std::string folderDirectory(std::string_view local) override { return "M\\" + std::string(local); }
    bool ensureFolder(const std::string&, std::string&) override {
        check(!checking);
        return true;
    }
    bool listFolder(const std::string&, std::vector<std::string>& names, std::string&) override {
        names = {std::string(kStoredName)};
        return true;
    }
    bool readRecords(const std::string&, std::string& text, std::string&) override {
        text = "1 1001 " + std::string(kStoredName) + " INBOX\r\n";
        return true;
    }
    bool appendRecords(const std::string&, std::string_view lines, std::string&) override {
        check(!checking);
        for (const MessageRecord& record : parseRecords(lines))
            check(record.fileName == kStoredName || committed_.count(record.fileName) != 0);
        return true;
    }
    bool beginMessage(const std::string&, int, std::string_view hex, std::string& error) override {
        check(!checking);
        check(!open_);
        // Now and then the file cannot be made.
        if (++begun_ % 5 == 0) {
            error = "Could not create message file";
            return false;
        }
        open_ = true;
        dateHex_ = std::string(hex);
        return true;
    }
    bool writeMessage(std::string_view, std::string&) override {
        check(open_);
        return true;
    }
    bool sameAsStored(const std::string& name, std::string&) override {
        check(open_);
        check(name == kStoredName || committed_.count(name) != 0);
        return ++compared_ % 3 == 0;
    }
    bool commitMessage(FileTime, std::string& name, bool& stored, std::string&) override {
        check(open_);
        open_ = false;
        name = messageFileName(CivilTime{2026, 1, 1, 0, 0, 0}, static_cast<int>(committed_.size()) + 2, dateHex_);
        committed_.insert(name);
        return stored = true;
    }
    void abandonMessage() override { open_ = false; }

    bool open() const { return open_; }
    bool checking = false;

private:
    bool open_ = false;
    std::string dateHex_;
    std::set<std::string> committed_;
    unsigned begun_ = 0;
    unsigned compared_ = 0;
};

class Session : public ImapDialogueHost, public LineConsumer {
public:
    Session(ImapDialogueValues values, bool serverSentPassword, bool serverSentToken)
        : dialogue_(std::move(values), *this, store_),
          serverSentPassword_(serverSentPassword),
          serverSentToken_(serverSentToken) {}
    void setChecking(bool checking) { store_.checking = checking; }
    bool feed(std::string_view bytes) { return assembler_.feed(bytes, *this); }
    ImapDialogue& dialogue() { return dialogue_; }
    const CheckingStore& store() const { return store_; }

    bool send(std::string_view bytes) override {
        // A check asks no body, sets no flag and opens no folder for writing.
        // Judged by each command's words after its tag: a folder name in
        // an EXAMINE may hold any of them ("WoBODYrk").
        if (store_.checking) {
            for (std::size_t at = 0; at < bytes.size();) {
                std::size_t end = bytes.find("\r\n", at);
                if (end == std::string_view::npos) end = bytes.size();
                const std::string_view line = bytes.substr(at, end - at);
                at = end + 2;
                const std::size_t blank = line.find(' ');
                const std::string_view command = blank == std::string_view::npos ? line : line.substr(blank + 1);
                check(!command.starts_with("SELECT") && !command.starts_with("STORE") &&
                      !command.starts_with("UID STORE"));
                if (command.starts_with("FETCH") || command.starts_with("UID FETCH"))
                    check(command.find("BODY") == std::string_view::npos);
            }
        }
        return true;
    }
    void readLiteral(std::uint64_t count) override { assembler_.expectLiteral(count); }
    void log(std::string_view text) override {
        // The line as the session writes it: masked, one line, bounded.
        static const CredentialMask mask = ImapOpening::loginMask("alice", kPassword);
        const std::string written = mask.applyBounded(singleLine(text), kMaxSessionLogText);
        check(written.size() <= kMaxSessionLogText + 40);
        check(written.find('\n') == std::string::npos);
        // What the dialogue itself writes never holds the password in any form.
        if (!serverSentPassword_) check(text.find("Zq9%s") == std::string_view::npos);
        if (!serverSentToken_) check(text.find(kInitialResponse.substr(0, 12)) == std::string_view::npos);
    }
    void showLine(std::string_view) override {}
    void showCaption(std::string_view) override {}
    void pause(unsigned long) override {}
    void closeConnection() override {}
    void onLine(std::string_view line) override { dialogue_.onLine(line); }
    void onLiteral(std::string_view chunk, bool last) override { dialogue_.onLiteral(chunk, last); }
    bool acceptsLongLine(std::string_view start) override { return dialogue_.acceptsLongLine(start); }
    void onLinePiece(std::string_view piece, bool last) override { dialogue_.onLinePiece(piece, last); }

private:
    CheckingStore store_;
    ImapDialogue dialogue_;
    bool serverSentPassword_;
    bool serverSentToken_;
    LineAssembler assembler_{LineEnd::KeepCarriageReturn, 1024};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned knobs = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    ImapDialogueValues values;
    values.account.user = "alice";
    values.account.password = std::string(kPassword);
    values.captionFormat = "Processing [%s]\nMessage [%d] of [%d] for this User";
    values.settings.markDeleted = knobs & 1;
    values.settings.migrateDeleted = (knobs >> 1) & 1;
    values.settings.createEmpty = (knobs >> 2) & 1;
    const std::size_t piece = 1 + ((knobs >> 3) & 7);
    values.settings.pipelineDepth = 1 + static_cast<int>((knobs >> 6) & 3) * 5;
    values.maxSearchNumbers = 64;
    values.maxLoggedUntaggedPerKind = 4;
    values.maxUidsPerListing = 3;
    // Any echo of the password, in whatever form, holds its first characters;
    // server lines are logged without their carriage returns, so a CR inside
    // them is not between those characters in the log.
    std::string withoutCr(bytes);
    withoutCr.erase(std::remove(withoutCr.begin(), withoutCr.end(), '\r'), withoutCr.end());
    values.settings.checkOnly = withoutCr.find("READ-ONLY") != std::string::npos;
    if (withoutCr.find("AUTH=") != std::string::npos) values.signIn = SaslSignIn{"XOAUTH2", std::string(kInitialResponse), ""};
    Session session(values, withoutCr.find("Zq9%s") != std::string::npos,
                    withoutCr.find(kInitialResponse.substr(0, 12)) != std::string::npos);
    session.setChecking(values.settings.checkOnly);
    while (!bytes.empty()) {
        const std::size_t n = bytes.size() < piece ? bytes.size() : piece;
        if (!session.feed(bytes.substr(0, n))) break;
        bytes.remove_prefix(n);
    }
    session.dialogue().abandon();
    check(!session.store().open());
    check(session.dialogue().mostInFlight() <= static_cast<std::size_t>(values.settings.pipelineDepth));
    (void)session.dialogue().summary();
    return 0;
}
