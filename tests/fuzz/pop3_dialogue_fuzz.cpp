// Server lines into a whole POP3 migration, with a database that knows some
// unique-ids and can fail, and a store that can refuse; bit 6 of the first
// byte asks for a window of 8 (the server's CAPA answer decides), read with
// small limits on the answer to UIDL for the whole mailbox.
//
// Checked as a transcript test would: every file begun is stored or dropped,
// nothing is recorded that was not stored (or that was removed again), no
// more commands go out for one line than the window allows, the dialogue
// never counts more in flight than its window, the mailbox's unique-ids
// are asked once at most and never besides per-message UIDLs, no message is
// retrieved twice after they came in one answer, and every log line is one
// line within its bound that never shows the password unless the server
// itself sent it. A transcript with a continuation line ("+ ") signs in
// with a token, whose initial response is never reported either. A
// transcript that names "CHECK" anywhere is only checked: nothing is then
// registered or recorded in the database, no file begun, no RETR or DELE
// sent, and the counts never exceed the messages listed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "engine/core/log/log_text.h"
#include "engine/core/net/line_assembler.h"
#include "engine/core/pop3/pop3_credentials.h"
#include "engine/core/pop3/pop3_dialogue.h"

namespace {

using namespace rvo;

constexpr std::string_view kPassword = "pw-Zq9";
constexpr std::string_view kObjectName = "Pop32XRV Object";
// "user=bob^Aauth=Bearer Tok9^A^A"
constexpr std::string_view kInitialResponse = "dXNlcj1ib2IBYXV0aD1CZWFyZXIgVG9rOQEB";

Pop3Account fuzzAccount(std::string_view input) {
    Pop3Account account{"pop.example.com", "bob", std::string(kPassword), {}, {}};
    if (input.find("\n+ ") != std::string_view::npos)
        account.signIn = SaslSignIn{"XOAUTH2", std::string(kInitialResponse), ""};
    return account;
}

// Names the broken invariant's line before stopping, so a finding says which one.
void checkAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "pop3_dialogue_fuzz: invariant at line %d broken\n", line);
    __builtin_trap();
}
#define check(condition) checkAt((condition), __LINE__)

// What the store holds, seen by the database to check what is recorded.
struct StoreLedger {
    bool checking = false;  // a check: nothing may be written anywhere
    bool open = false;
    int stored = 0;  // committed and not removed again
    std::set<std::string> recorded;
};

class Database : public MigrationDatabase {
public:
    Database(unsigned knobs, StoreLedger& ledger, std::set<std::string>& seen)
        : knobs_(knobs), ledger_(ledger), seen_(seen) {}
    int registerServer(const std::string&) override {
        check(!ledger_.checking);
        return 1;
    }
    int registerUser(const std::string&, int) override {
        check(!ledger_.checking);
        return 1;
    }
    int recordUidl(int, int, const std::string& uidl) override {
        check(!ledger_.checking);
        // Bit 2: records of unique-ids of odd length fail and break the connection.
        if ((knobs_ & 4) && uidl.size() % 2 == 1) {
            broken_ = true;
            return 0;
        }
        ledger_.recorded.insert(uidl);
        check(static_cast<int>(ledger_.recorded.size()) <= ledger_.stored);
        return seen_.insert(uidl).second;
    }
    int serverId(const std::string&) override { return (knobs_ & 8) ? 0 : 1; }
    int userId(const std::string&, int) override { return 1; }
    int uidlId(int, int, const std::string& uidl) override { return seen_.count(uidl) || uidl.size() % 3 == 0; }
    bool acceptsRecords(int) override { return (knobs_ & 32) == 0; }
    bool usable() const override { return (knobs_ & 16) == 0 && !broken_; }

private:
    unsigned knobs_;
    StoreLedger& ledger_;
    std::set<std::string>& seen_;
    bool broken_ = false;
};

class Environment : public Pop3Environment, public LineConsumer {
public:
    Environment(unsigned knobs, std::string_view input)
        : knobs_(knobs),
          input_(input),
          window_((knobs & 64) ? 8 : 1),
          dialogue_(*this, fuzzAccount(input), window_, Pop3Limits{48, 6}) {
        dialogue_.setRecordRetry({2, 0});
        ledger_.checking = input.find("CHECK") != std::string_view::npos;
        dialogue_.setCheckOnly(ledger_.checking);
    }
    Pop3Dialogue& dialogue() { return dialogue_; }
    const StoreLedger& ledger() const { return ledger_; }
    int window() const { return window_; }
    bool feed(std::string_view bytes) { return assembler_.feed(bytes, *this); }

    bool send(std::string_view command) override {
        check(++sentForLine_ <= window_);
        if (ledger_.checking) check(command.substr(0, 4) != "RETR" && command.substr(0, 4) != "DELE");
        if (command == "UIDL\r\n") {
            check(++uidlsForMailbox_ == 1);
        } else if (command.substr(0, 5) == "UIDL ") {
            perMessageUidl_ = true;
        } else if (command.substr(0, 5) == "RETR ") {
            // One message, one unique-id: a number listed twice is retrieved once. (Per-message
            // UIDLs may give one number two unique-ids; then both are kept, as for a shared one.)
            check(retrieved_.insert(std::string(command)).second || uidlsForMailbox_ == 0);
        }
        check(uidlsForMailbox_ == 0 || !perMessageUidl_);
        return true;
    }
    void closeWithoutQuit() override {}
    void report(std::string_view text) override {
        check(text.find('\n') == std::string_view::npos);
        check(text.find(kPassword) == std::string_view::npos || input_.find(kPassword) != std::string_view::npos);
        check(text.find(kInitialResponse) == std::string_view::npos ||
              input_.find(kInitialResponse) != std::string_view::npos);
        // As the session writes it: masked, then cut to the bound.
        static const CredentialMask mask = pop3CredentialMask(kPassword);
        const std::string line = std::string(kObjectName) + " " + mask.applyBounded(text, kMaxSessionLogText);
        check(line.size() <= kObjectName.size() + 1 + kMaxSessionLogText + 40);
        // The password as a word of its own never survives the mask (inside
        // a longer word it is not the password).
        check(mask.apply(text).find(" " + std::string(kPassword) + " ") == std::string::npos);
    }
    void showLine(std::string_view) override {}
    void showMessageProgress(int, int) override {}
    std::unique_ptr<MigrationDatabase> openDatabase() override {
        return std::make_unique<Database>(knobs_, ledger_, seen_);
    }
    bool prepareInbox(std::string&) override {
        check(!ledger_.checking);
        return (knobs_ & 1) == 0;
    }
    bool beginMessage(int, std::string&) override {
        check(!ledger_.checking);
        check(!ledger_.open);
        ledger_.open = true;
        return true;
    }
    bool writeMessageLine(std::string_view, std::string&) override {
        check(ledger_.open);
        if (knobs_ & 2) ledger_.open = false;  // a failed write drops the file
        return (knobs_ & 2) == 0;
    }
    bool commitMessage(std::string&) override {
        check(ledger_.open);
        ledger_.open = false;
        if (knobs_ & 128) return false;
        ++ledger_.stored;
        return true;
    }
    void abandonMessage() override { ledger_.open = false; }
    bool removeStoredMessage(std::string&) override {
        check(ledger_.stored > 0);
        --ledger_.stored;
        return true;
    }
    void pause(unsigned long) override {}
    void onLine(std::string_view line) override {
        sentForLine_ = 0;
        dialogue_.onLine(line);
        check(dialogue_.mostInFlight() <= static_cast<std::size_t>(window_));
    }
    void onLiteral(std::string_view, bool) override {}

private:
    unsigned knobs_;
    std::string_view input_;
    int window_;
    int sentForLine_ = 0;
    int uidlsForMailbox_ = 0;
    bool perMessageUidl_ = false;
    std::set<std::string> retrieved_;
    StoreLedger ledger_;
    std::set<std::string> seen_;
    Pop3Dialogue dialogue_;
    LineAssembler assembler_{LineEnd::Strip, 64 * 1024};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    Environment environment(data[0], input);
    environment.dialogue().connected();
    environment.feed(input);
    environment.dialogue().sessionEnded();
    check(!environment.ledger().open);
    // Whatever is recorded is still stored.
    check(static_cast<int>(environment.ledger().recorded.size()) <= environment.ledger().stored);
    (void)environment.dialogue().summary();
    // Each listed line is one message at most: to copy, or already stored.
    const CheckCounts& counts = environment.dialogue().checkCounts();
    check(counts.messages + counts.alreadyStored <= static_cast<std::uint64_t>(std::count(input.begin(), input.end(), '\n')));
    return 0;
}
