#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/core/net/line_assembler.h"
#include "engine/core/pop3/pop3_credentials.h"
#include "engine/core/pop3/pop3_dialogue.h"

namespace rvo {
namespace {

using Lines = std::vector<std::string>;

// Rows of the three tables; a broken database answers 0 to everything.
struct FakeTables {
    std::map<std::string, int> servers;
    std::map<std::pair<std::string, int>, int> users;
    std::map<std::tuple<int, int, std::string>, int> uidls;
    bool broken = false;
    bool recordBreaks = false;  // the first record fails and breaks the connection
    int recordFailures = 0;     // this many records fail, each breaking its connection
    bool readOnly = false;      // look-ups work, every write is refused
    int opened = 0;
    int keyLookups = 0;
};

class FakeDatabase : public MigrationDatabase {
public:
    explicit FakeDatabase(FakeTables& t) : t_(t) {}
    int registerServer(const std::string& name) override {
        return !t_.broken && t_.servers.emplace(name, static_cast<int>(t_.servers.size()) + 1).second;
    }
    int registerUser(const std::string& username, int serverId) override {
        return !t_.broken && t_.users.emplace(std::pair(username, serverId), static_cast<int>(t_.users.size()) + 1).second;
    }
    bool usable() const override { return !t_.broken && !broken_; }
    std::string name() const override { return "C:\\run\\mail2xrv.mdb"; }
    std::string lastError() const override { return t_.broken ? "State:HY000,Native:8,Message:readonly" : ""; }
    bool acceptsRecords(int) override {
        if (t_.readOnly) t_.broken = true;
        return !t_.broken;
    }
    int recordUidl(int serverId, int userId, const std::string& uidl) override {
        if (t_.recordFailures > 0) {
            --t_.recordFailures;
            broken_ = true;
            return 0;
        }
        if (t_.recordBreaks || t_.readOnly) t_.broken = true;
        return !t_.broken &&
               t_.uidls.emplace(std::tuple(serverId, userId, uidl), static_cast<int>(t_.uidls.size()) + 1).second;
    }
    int serverId(const std::string& name) override {
        ++t_.keyLookups;
        return find(t_.servers, name);
    }
    int userId(const std::string& username, int serverId) override {
        ++t_.keyLookups;
        return find(t_.users, std::pair(username, serverId));
    }
    int uidlId(int serverId, int userId, const std::string& uidl) override {
        return find(t_.uidls, std::tuple(serverId, userId, uidl));
    }

private:
    template <class Map, class Key>
    int find(const Map& map, const Key& key) const {
        if (t_.broken) return 0;
        const auto it = map.find(key);
        return it == map.end() ? 0 : it->second;
    }
    FakeTables& t_;
    bool broken_ = false;
};

struct ServerMessage {
    std::string uidl;
    Lines lines;  // as the message holds them, before byte-stuffing
};

// Plays a POP3 server: answers each command the dialogue sends, in order,
// and records everything the dialogue does to its surroundings.
class Harness : public Pop3Environment {
public:
    explicit Harness(Pop3Account account = {"pop.example.com", "o'brien", "secret"}, int window = 1,
                     const Pop3Limits& limits = {})
        : dialogue(*this, account, window, limits) {}

    // Environment -------------------------------------------------------
    bool send(std::string_view command) override {
        commands.emplace_back(command.substr(0, command.size() - 2));
        EXPECT_EQ(command.substr(command.size() - 2), "\r\n");
        if (!answers) return true;
        // Commands sent whose answers the dialogue has not read to their end.
        const auto answered = std::count_if(answerEnds.begin(), answerEnds.end(),
                                            [this](std::size_t end) { return end <= consumedLines; });
        outstanding.push_back(commands.size() - static_cast<std::size_t>(answered));
        const std::string c = commands.back();
        answer(c);
        answerEnds.push_back(queuedLines);
        return true;
    }
    void answer(const std::string& c) {
        // AUTH: "+", the client's response, then the sign-in's outcome (a
        // refused token: the challenge, and -ERR after the client's reply).
        if (authStep == 1) {
            authStep = refuseToken ? 2 : 0;
            return queue(refuseToken ? "+ " + challenge : "+OK Logged in.");
        }
        if (authStep == 2) {
            authStep = 0;
            return queue("-ERR [AUTH] Authentication failed.");
        }
        if (c.starts_with("AUTH ")) {
            if (refuseAuth) return queue("-ERR [AUTH] Unsupported authentication mechanism.");
            authStep = 1;
            return queue("+ ");
        }
        if (c.starts_with("USER")) {
            queue("+OK");
        } else if (c.starts_with("PASS")) {
            queue(c == "PASS secret" ? "+OK Logged in." : "-ERR [AUTH] Authentication failed.");
        } else if (c == "LIST") {
            queue("+OK " + std::to_string(mailbox.size()) + " messages:");
            for (const auto& [n, m] : mailbox) queue(std::to_string(n) + " " + std::to_string(m.lines.size() * 10));
            queue(".");
        } else if (c == "UIDL") {
            if (refuseUidlList) return queue("-ERR Unknown command");
            queue("+OK");
            for (const auto& [n, m] : mailbox)
                if (!refusedUidl.count(n)) queue(std::to_string(n) + " " + m.uidl);
            queue(".");
        } else if (c.starts_with("UIDL ")) {
            const int n = std::stoi(c.substr(5));
            queue(refusedUidl.count(n) ? "-ERR No such message" : "+OK " + std::to_string(n) + " " + mailbox.at(n).uidl);
        } else if (c == "CAPA") {
            if (capabilities.empty()) return queue("-ERR Unknown command");
            queue("+OK");
            for (const std::string& capability : capabilities) queue(capability);
            queue(".");
        } else if (c.starts_with("RETR ") && refusedRetr.count(std::stoi(c.substr(5)))) {
            queue("-ERR Message is gone");
        } else if (c.starts_with("RETR ")) {
            queue("+OK " + std::to_string(mailbox.at(std::stoi(c.substr(5))).lines.size() * 10) + " octets");
            for (const std::string& line : mailbox.at(std::stoi(c.substr(5))).lines)
                queue(line.starts_with(".") ? "." + line : line);
            queue(".");
        } else if (c == "QUIT") {
            queue("+OK Logging out.");
        }
    }
    void closeWithoutQuit() override { ++closedWithoutQuit; }
    void report(std::string_view text) override { log.emplace_back(text); }
    void showLine(std::string_view text) override { shown.emplace_back(text); }
    void showMessageProgress(int number, int count) override {
        captions.push_back(std::to_string(number) + "/" + std::to_string(count));
    }
    std::unique_ptr<MigrationDatabase> openDatabase() override {
        ++tables.opened;
        return std::make_unique<FakeDatabase>(tables);
    }
    bool prepareInbox(std::string& error) override {
        ++inboxPrepared;
        if (failInbox) error = "Could not create directory inbox";
        return !failInbox;
    }
    bool beginMessage(int number, std::string& error) override {
        EXPECT_FALSE(open) << "a message file is still open";
        if (failBegin.count(number)) {
            error = "Could not create message file";
            return false;
        }
        open = true;
        openNumber = number;
        content.clear();
        return true;
    }
    bool writeMessageLine(std::string_view line, std::string& error) override {
        EXPECT_TRUE(open);
        if (failWriteAfter == 0) {
            failWriteAfter = -1;
            error = "Could not write message file";
            open = false;
            return false;
        }
        --failWriteAfter;
        content.append(line).append("\r\n");
        return true;
    }
    bool commitMessage(std::string& error) override {
        EXPECT_TRUE(open);
        open = false;
        if (failCommit.count(openNumber)) {
            error = "Could not store message file";
            return false;
        }
        stored[openNumber] = content;
        lastStored = openNumber;
        return true;
    }
    bool removeStoredMessage(std::string& error) override {
        if (failRemove) {
            error = "Could not remove message file";
            return false;
        }
        removed.push_back(lastStored);
        stored.erase(lastStored);
        return true;
    }
    void pause(unsigned long ms) override { pauses.push_back(ms); }
    void abandonMessage() override {
        if (open) ++abandoned;
        open = false;
    }

    // Test side -----------------------------------------------------------
    void queue(std::string line) {
        pending.push_back(std::move(line));
        ++queuedLines;
    }
    // Connects and lets the server talk until it has nothing more to say.
    void run() {
        dialogue.connected();
        queue("+OK Dovecot ready.");
        pump();
    }
    void pump() {
        while (!pending.empty()) {
            const std::string line = pending.front();
            pending.pop_front();
            ++consumedLines;
            dialogue.onLine(line);
        }
    }
    void feed(std::initializer_list<std::string_view> lines) {
        if (!fed) dialogue.connected();
        fed = true;
        for (std::string_view line : lines) dialogue.onLine(line);
    }
    void record(const std::string& uidl) {
        FakeDatabase db(tables);
        db.registerServer("pop.example.com");
        db.registerUser("o'brien", db.serverId("pop.example.com"));
        const int sid = db.serverId("pop.example.com");
        db.recordUidl(sid, db.userId("o'brien", sid), uidl);
    }
    bool recorded(const std::string& uidl) {
        FakeDatabase db(tables);
        const int sid = db.serverId("pop.example.com");
        return sid && db.uidlId(sid, db.userId("o'brien", sid), uidl) != 0;
    }
    bool logged(std::string_view text) const {
        for (const auto& line : log)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    Pop3Dialogue dialogue;
    std::map<int, ServerMessage> mailbox;
    std::set<int> refusedUidl, refusedRetr;  // refusedUidl: missing from the answer to UIDL for all
    bool refuseUidlList = false;
    Lines capabilities;  // the CAPA answer; none: CAPA is refused
    int authStep = 0;
    bool refuseToken = false;  // the response to AUTH is answered with the challenge
    bool refuseAuth = false;   // AUTH itself is refused
    // {"status":"401","schemes":"bearer","scope":"mail"}
    std::string challenge = "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=";
    std::size_t queuedLines = 0, consumedLines = 0;
    std::vector<std::size_t> answerEnds;  // per answered command: the line count at its last line
    std::vector<std::size_t> outstanding;  // per command: how many were outstanding once it was sent
    bool answers = true;
    bool fed = false;
    std::deque<std::string> pending;
    Lines commands, log, shown, captions;
    FakeTables tables;
    int closedWithoutQuit = 0;
    int inboxPrepared = 0;
    bool failInbox = false;
    std::set<int> failBegin, failCommit;
    int failWriteAfter = -1;
    bool open = false;
    int openNumber = 0;
    std::string content;
    std::map<int, std::string> stored;
    int lastStored = 0;
    std::vector<int> removed;
    bool failRemove = false;
    std::vector<unsigned long> pauses;
    int abandoned = 0;
};

const Lines kLogin{"USER o'brien", "PASS secret", "LIST"};

Lines login(Lines rest) {
    Lines all = kLogin;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

// The log's mask knows the PASS line exactly as the dialogue sends it.
TEST(Pop3Dialogue, TheLogMaskHidesThePassLineAsSent) {
    for (const std::string password : {"secret", "x", " two words ", "%s\"\\"}) {
        Harness h({"pop.example.com", "o'brien", password});
        h.run();
        ASSERT_GE(h.commands.size(), 2u);
        ASSERT_EQ(h.commands[1].substr(0, 5), "PASS ");
        const CredentialMask mask = pop3CredentialMask(password);
        EXPECT_EQ(mask.apply("-ERR " + h.commands[1] + " refused"), "-ERR PASS ********** refused") << password;
    }
}

TEST(Pop3Dialogue, RetrievesOnlyMessagesNotRecordedAndRecordsThemOnceStored) {
    Harness h;
    h.mailbox = {{1, {"uid-1", {"Subject: one", "", "first"}}},
                 {2, {"uid-2", {"Subject: two"}}},
                 {3, {"uid-3", {"Subject: three", "", "third"}}}};
    h.record("uid-2");
    const int lookupsBefore = h.tables.keyLookups;
    h.run();
    // The server's key while registering the user, then both keys once:
    // not again for every message's look-up and record.
    EXPECT_EQ(h.tables.keyLookups - lookupsBefore, 3);
    EXPECT_EQ(h.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "UIDL 3", "RETR 3", "QUIT"}));
    ASSERT_EQ(h.stored.size(), 2u);
    EXPECT_EQ(h.stored[1], "Subject: one\r\n\r\nfirst\r\n");
    EXPECT_EQ(h.stored[3], "Subject: three\r\n\r\nthird\r\n");
    EXPECT_TRUE(h.recorded("uid-1") && h.recorded("uid-3"));
    EXPECT_EQ(h.tables.uidls.size(), 3u);
    EXPECT_EQ(h.inboxPrepared, 1);
    EXPECT_EQ(h.captions, (Lines{"1/3", "2/3", "3/3"}));
    EXPECT_EQ(h.shown, (Lines{"RETRIEVING EMAIL 1", "RETRIEVING EMAIL 3", "Logging out"}));
    EXPECT_EQ(h.dialogue.result(), 0);
    EXPECT_EQ(h.closedWithoutQuit, 0);

    // The server's answer to QUIT does not start anything more.
    EXPECT_EQ(h.dialogue.state(), Pop3State::QuitSent);
    EXPECT_TRUE(h.logged("+OK Logging out."));

    Harness again;
    again.mailbox = h.mailbox;
    again.tables = h.tables;
    again.run();
    EXPECT_EQ(again.commands, login({"UIDL 1", "UIDL 2", "UIDL 3", "QUIT"}));
    EXPECT_TRUE(again.stored.empty());
    EXPECT_EQ(again.dialogue.result(), 0);
}

TEST(Pop3Dialogue, NegativeAnswersEndWithoutQuit) {
    Harness wrongPassword({"pop.example.com", "o'brien", "wrong"});
    wrongPassword.run();
    EXPECT_EQ(wrongPassword.commands, (Lines{"USER o'brien", "PASS wrong"}));
    EXPECT_EQ(wrongPassword.closedWithoutQuit, 1);
    EXPECT_TRUE(wrongPassword.logged("-ERR [AUTH] Authentication failed."));
    EXPECT_FALSE(wrongPassword.logged("wrong"));
    EXPECT_EQ(wrongPassword.dialogue.summary(), "Messages stored: 0, recognised as stored: 0, failed: 0; the account "
                                                "is left for the next run: the server refused the login");
    EXPECT_EQ(wrongPassword.dialogue.result(), 1);

    Harness badGreeting;
    badGreeting.answers = false;
    badGreeting.feed({"-ERR go away"});
    EXPECT_TRUE(badGreeting.commands.empty());
    EXPECT_EQ(badGreeting.closedWithoutQuit, 1);

    Harness badList;
    badList.answers = false;
    badList.feed({"+OK", "+OK", "+OK", "-ERR mailbox locked"});
    EXPECT_EQ(badList.commands, kLogin);
    EXPECT_EQ(badList.closedWithoutQuit, 1);
    EXPECT_EQ(badList.inboxPrepared, 0);
    EXPECT_EQ(badList.dialogue.result(), 1);

    // Empty lines before the answer are logged and waited past.
    Harness empty;
    empty.answers = false;
    empty.feed({"", "+OK"});
    EXPECT_EQ(empty.commands, (Lines{"USER o'brien"}));
    EXPECT_EQ(empty.log, (Lines{"Unknown Error in Pop3ActiveObj"}));
}

TEST(Pop3Dialogue, CredentialsWithLineBreaksOrZeroBytesAreNeverSent) {
    for (const Pop3Account& account : {Pop3Account{"s", "bob\r\nDELE 1", "pw"}, Pop3Account{"s", "bob", "pw\nDELE 1"},
                                       Pop3Account{"s", "bob", std::string("pw\0x", 4)}}) {
        Harness h(account);
        h.run();
        EXPECT_TRUE(h.commands.empty());
        EXPECT_EQ(h.closedWithoutQuit, 1);
        EXPECT_EQ(h.dialogue.result(), 1);
        ASSERT_EQ(h.log.size(), 1u);
        EXPECT_EQ(h.log[0].find("DELE"), std::string::npos);
    }
}

TEST(Pop3Dialogue, EmptyMailboxIsACompletedMigration) {
    Harness h;
    h.run();
    EXPECT_EQ(h.commands, login({"QUIT"}));
    EXPECT_EQ(h.dialogue.result(), 0);
    EXPECT_EQ(h.inboxPrepared, 0);
    EXPECT_EQ(h.closedWithoutQuit, 0);
}

TEST(Pop3Dialogue, MessageLinesAreUnstuffedAndStatusLikeLinesAreContent) {
    Harness h;
    h.mailbox = {{1,
                  {"u",
                   {"+OK not a status line", "Subject: dots", "", ".", "..", ".leading", "-ERR neither", "", "end"}}}};
    h.run();
    EXPECT_EQ(h.stored[1], "+OK not a status line\r\nSubject: dots\r\n\r\n.\r\n..\r\n.leading\r\n-ERR neither\r\n\r\nend\r\n");
    EXPECT_EQ(h.dialogue.result(), 0);

    // What travels on the wire: each leading dot doubled.
    Harness wire;
    wire.answers = false;
    wire.feed({"+OK", "+OK", "+OK", "+OK", "1 5", ".", "+OK 1 u", "+OK 5 octets", "..", "...x", "a.b", "."});
    EXPECT_EQ(wire.stored[1], ".\r\n..x\r\na.b\r\n");
    EXPECT_TRUE(wire.logged("+OK 5 octets"));
}

TEST(Pop3Dialogue, UnusableUidlAnswersSkipTheMessageAndKeepTheAccountOpen) {
    Harness h;
    h.mailbox = {{1, {"good", {"1"}}},
                 {2, {"refused", {"2"}}},
                 {3, {std::string(256, 'x'), {"3"}}},
                 {4, {std::string(255, 'y'), {"4"}}}};
    h.refusedUidl = {2};
    h.run();
    EXPECT_EQ(h.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "UIDL 3", "UIDL 4", "RETR 4", "QUIT"}));
    EXPECT_EQ(h.stored.size(), 2u);
    EXPECT_TRUE(h.logged("-ERR No such message"));
    EXPECT_TRUE(h.logged("Message 3 is not retrieved: its unique-id is longer than 255 characters"));
    EXPECT_EQ(h.dialogue.result(), 1);

    // An answer without a unique-id must not reuse the previous message's.
    Harness stale;
    stale.answers = false;
    stale.record("a");
    stale.feed({"+OK", "+OK", "+OK", "+OK", "1", "2", "3", ".", "+OK 1 b", "+OK", "x", ".", "+OK 2", "+OK 9 a",
                "+OK Logging out."});
    EXPECT_EQ(stale.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "UIDL 3", "QUIT"}));
    EXPECT_TRUE(stale.logged("Message 2 is not retrieved: the answer to UIDL holds no unique-id"));
    EXPECT_TRUE(stale.logged("Message 3 is not retrieved: the answer to UIDL is not for this message"));
    EXPECT_EQ(stale.dialogue.result(), 1);

    EXPECT_EQ(stale.tables.uidls.size(), 2u);  // "a" and "b" only
}

TEST(Pop3Dialogue, ListingLinesWithoutANumberAreIgnored) {
    Harness h;
    h.answers = false;
    h.feed({"+OK", "+OK", "+OK", "+OK 2 messages", "1 100", "garbage", "0 5", "2x 7", "2 200", "."});
    EXPECT_EQ(h.commands, login({"UIDL 1"}));
    h.answers = true;
    h.mailbox = {{1, {"a", {"1"}}}, {2, {"b", {"2"}}}};
    h.queue("+OK 1 a");
    h.pump();
    EXPECT_EQ(h.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "RETR 2", "QUIT"}));
    EXPECT_EQ(h.captions.front(), "1/2");
    EXPECT_TRUE(h.logged("Listing line without a message number ignored: garbage"));
}

TEST(Pop3Dialogue, AMessageIsRecordedOnlyWhenItsFileWasStored) {
    Harness h;
    h.mailbox = {{1, {"cannot-create", {"1"}}}, {2, {"cannot-store", {"2"}}}, {3, {"fine", {"3"}}}};
    h.failBegin = {1};
    h.failCommit = {2};
    h.run();
    // No RETR for a message that has nowhere to go.
    EXPECT_EQ(h.commands, login({"UIDL 1", "UIDL 2", "RETR 2", "UIDL 3", "RETR 3", "QUIT"}));
    EXPECT_FALSE(h.recorded("cannot-create") || h.recorded("cannot-store"));
    EXPECT_TRUE(h.recorded("fine"));
    EXPECT_TRUE(h.logged("Could not create message file") && h.logged("Could not store message file"));
    EXPECT_EQ(h.dialogue.result(), 1);

    // A failed write drops the message; the rest of it is read and discarded.
    Harness w;
    w.mailbox = {{1, {"a", {"line 1", "line 2", "line 3"}}}, {2, {"b", {"x"}}}};
    w.failWriteAfter = 1;
    w.run();
    EXPECT_EQ(w.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "RETR 2", "QUIT"}));
    EXPECT_EQ(w.stored, (std::map<int, std::string>{{2, "x\r\n"}}));
    EXPECT_FALSE(w.recorded("a"));
    EXPECT_TRUE(w.recorded("b"));
    EXPECT_TRUE(w.logged("Could not write message file"));
    EXPECT_EQ(w.dialogue.result(), 1);
}

TEST(Pop3Dialogue, ABrokenConnectionLeavesNoMessageAndNothingRecorded) {
    Harness h;
    h.answers = false;
    h.feed({"+OK", "+OK", "+OK", "+OK", "1 10", ".", "+OK 1 u", "+OK 10 octets", "Subject: half"});
    EXPECT_TRUE(h.open);
    h.dialogue.sessionEnded();
    EXPECT_EQ(h.abandoned, 1);
    EXPECT_TRUE(h.stored.empty());
    EXPECT_FALSE(h.recorded("u"));
    EXPECT_EQ(h.dialogue.result(), 1);
}

TEST(Pop3Dialogue, ARefusedRetrDropsTheMessageAndGoesOn) {
    Harness h;
    h.answers = false;
    h.feed({"+OK", "+OK", "+OK", "+OK", "1", "2", ".", "+OK 1 a", "-ERR gone", "+OK 2 b", "+OK", "two", "."});
    EXPECT_EQ(h.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "RETR 2", "QUIT"}));
    EXPECT_EQ(h.abandoned, 1);
    EXPECT_EQ(h.stored, (std::map<int, std::string>{{2, "two\r\n"}}));
    EXPECT_EQ(h.dialogue.result(), 1);
}

TEST(Pop3Dialogue, ADatabaseThatCannotLookUpOrRecordRetrievesNothing) {
    // Broken from the start, or read-only with the account's rows already there.
    for (const bool readOnly : {false, true}) {
        Harness h;
        h.mailbox = {{1, {"a", {"1"}}}, {2, {"b", {"2"}}}};
        if (readOnly) {
            h.record("old");
            h.tables.readOnly = true;
        } else {
            h.tables.broken = true;
        }
        h.run();
        EXPECT_EQ(h.commands, login({"QUIT"}));
        EXPECT_EQ(h.inboxPrepared, 0) << "no inbox is made for nothing";
        EXPECT_TRUE(h.stored.empty());
        EXPECT_TRUE(h.logged("Nothing is retrieved: the migration database C:\\run\\mail2xrv.mdb cannot look up or "
                             "record unique-ids: State:HY000,Native:8,Message:readonly"));
        EXPECT_EQ(h.dialogue.result(), 1);
        EXPECT_EQ(h.dialogue.summary(), "Messages stored: 0, recognised as stored: 0, failed: 0; the account is left "
                                        "for the next run: the migration database cannot be used");
    }

    // A record that keeps failing removes the stored message again and ends
    // the dialogue once the answer that confirmed it is read.
    Harness breaks;
    breaks.tables.recordBreaks = true;
    breaks.mailbox = {{1, {"a", {"1"}}}, {2, {"b", {"2"}}}};
    breaks.run();
    EXPECT_EQ(breaks.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "QUIT"}));
    EXPECT_TRUE(breaks.stored.empty());
    EXPECT_EQ(breaks.removed, (std::vector<int>{1}));
    EXPECT_EQ(breaks.pauses, (std::vector<unsigned long>{1000, 1000}));
    EXPECT_TRUE(breaks.logged("Message 1 is stored, but its unique-id could not be recorded in the migration "
                              "database (3 attempts): State:HY000,Native:8,Message:readonly"));
    EXPECT_TRUE(breaks.logged("Message 1 is removed from the store again: its unique-id could not be recorded"));
    EXPECT_EQ(breaks.dialogue.result(), 1);
    EXPECT_EQ(breaks.dialogue.summary(), "Messages stored: 0, recognised as stored: 0, failed: 1; the account is left "
                                         "for the next run: the migration database cannot be used");

    // An inbox that cannot be made ends the dialogue politely but unfinished.
    Harness noInbox;
    noInbox.failInbox = true;
    noInbox.mailbox = breaks.mailbox;
    noInbox.run();
    EXPECT_EQ(noInbox.commands, login({"QUIT"}));
    EXPECT_TRUE(noInbox.logged("Could not create directory inbox"));
    EXPECT_EQ(noInbox.dialogue.result(), 1);
}

TEST(Pop3Dialogue, MessagesSharingAUniqueIdAreEachStoredOnceAcrossRuns) {
    Harness h;
    h.mailbox = {{1, {"dup", {"one"}}}, {2, {"solo", {"two"}}}, {3, {"dup", {"three"}}}, {4, {"dup", {"four"}}}};
    h.failCommit = {4};
    h.run();
    EXPECT_EQ(h.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "RETR 2", "UIDL 3", "RETR 3", "UIDL 4", "RETR 4", "QUIT"}));
    EXPECT_EQ(h.stored, (std::map<int, std::string>{{1, "one\r\n"}, {2, "two\r\n"}, {3, "three\r\n"}}));
    EXPECT_TRUE(h.logged("Message 3 has the same unique-id as message 1 (dup); both are kept"));
    EXPECT_TRUE(h.recorded("dup") && h.recorded("dup 2") && !h.recorded("dup 3"));
    EXPECT_EQ(h.dialogue.result(), 1);
    EXPECT_EQ(h.dialogue.summary(), "Messages stored: 3, recognised as stored: 0, failed: 1; the account is left for "
                                    "the next run: a message file could not be stored");

    // The next run knows each occurrence on its own: only the one that failed is fetched.
    Harness again;
    again.mailbox = h.mailbox;
    again.tables = h.tables;
    again.run();
    EXPECT_EQ(again.commands, login({"UIDL 1", "UIDL 2", "UIDL 3", "UIDL 4", "RETR 4", "QUIT"}));
    EXPECT_EQ(again.stored, (std::map<int, std::string>{{4, "four\r\n"}}));
    EXPECT_EQ(again.dialogue.result(), 0);
    EXPECT_EQ(again.dialogue.summary(),
              "Messages stored: 1, recognised as stored: 3, failed: 0; the account is migrated");

    // One message listed twice is still one message.
    Harness twice;
    twice.answers = false;
    twice.feed({"+OK", "+OK", "+OK", "+OK", "1 10", "1 10", ".", "+OK 1 x", "+OK", "m", ".", "+OK 1 x"});
    EXPECT_EQ(twice.commands, login({"UIDL 1", "RETR 1", "UIDL 1", "QUIT"}));
    EXPECT_EQ(twice.stored.size(), 1u);
}

TEST(Pop3Dialogue, HelpersReadListingAndUidlWords) {
    EXPECT_EQ(listedMessageNumber("12 3456"), 12);
    EXPECT_EQ(listedMessageNumber("  7"), 7);
    for (std::string_view bad : {"", "x 1", "-1 5", "99999999999 1", "3abc 1"}) EXPECT_EQ(listedMessageNumber(bad), 0) << bad;

    std::string problem;
    EXPECT_EQ(uidlFromAnswer("+OK 3 00000001515c4b2e", 3, problem), "00000001515c4b2e");
    EXPECT_EQ(uidlFromAnswer("+OK  3\tid extra", 3, problem), "id");
    EXPECT_EQ(uidlFromAnswer(std::string("+OK 3 a\0b", 9), 3, problem), "");
    EXPECT_EQ(problem, "its unique-id holds a control character");
}

std::map<int, ServerMessage> sixMessages() {
    std::map<int, ServerMessage> box;
    for (int n = 1; n <= 6; ++n)
        box[n] = {"uid-" + std::to_string(n), {"Subject: " + std::to_string(n), "", ".dot line " + std::to_string(n)}};
    return box;
}

std::size_t most(const Lines&, const std::vector<std::size_t>& outstanding) {
    return outstanding.empty() ? 0 : *std::max_element(outstanding.begin(), outstanding.end());
}

TEST(Pop3Pipeline, OneUidlForTheMailboxThenRetrsInTheWindowWhenTheServerListsPipelining) {
    const Pop3Account account{"pop.example.com", "o'brien", "secret"};
    Harness one(account, 1);
    one.mailbox = sixMessages();
    one.record("uid-2");
    one.record("uid-5");
    one.run();
    EXPECT_EQ(std::find(one.commands.begin(), one.commands.end(), "CAPA"), one.commands.end());

    Harness h(account, 4);
    h.capabilities = {"TOP", "UIDL", "RESP-CODES", "PIPELINING", "USER"};
    h.mailbox = sixMessages();
    h.record("uid-2");
    h.record("uid-5");
    h.run();
    EXPECT_EQ(h.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL", "RETR 1", "RETR 3", "RETR 4",
                                 "RETR 6", "QUIT"}));
    EXPECT_EQ(most(h.commands, h.outstanding), 4u);
    EXPECT_EQ(h.dialogue.mostInFlight(), 4u);
    EXPECT_EQ(h.outstanding.back(), 1u) << "QUIT only once everything before it is answered";
    EXPECT_TRUE(h.logged("The server takes pipelined commands: up to 4 at once"));
    // The same files, records, progress and log lines (but the CAPA and UIDL ones) as one at a time.
    EXPECT_EQ(h.stored, one.stored);
    EXPECT_EQ(h.tables.uidls.size(), 6u);
    EXPECT_EQ(h.shown, one.shown);
    EXPECT_EQ(h.captions, one.captions);
    Lines log = h.log;
    log.erase(std::remove(log.begin(), log.end(), "The server takes pipelined commands: up to 4 at once"), log.end());
    log.erase(std::remove(log.begin(), log.end(), "The answer to UIDL gave unique-ids for 6 of the 6 listed messages"),
              log.end());
    EXPECT_EQ(std::multiset<std::string>(log.begin(), log.end()), std::multiset<std::string>(one.log.begin(), one.log.end()));
    EXPECT_EQ(h.dialogue.result(), 0);
    EXPECT_FALSE(h.open);
}

TEST(Pop3Pipeline, WithoutPipeliningListedOneCommandAtATime) {
    for (const Lines& capabilities : {Lines{"TOP", "UIDL"}, Lines{}}) {
        Harness h({"pop.example.com", "o'brien", "secret"}, 8);
        h.capabilities = capabilities;
        h.mailbox = sixMessages();
        h.run();
        EXPECT_EQ(most(h.commands, h.outstanding), 1u);
        EXPECT_EQ(h.commands.size(), 4u + 12u + 1u);
        EXPECT_EQ(h.stored.size(), 6u);
        EXPECT_EQ(h.dialogue.result(), 0);
    }
}

TEST(Pop3Pipeline, ARefusedRetrInTheWindowFailsOnlyItsMessage) {
    Harness h({"pop.example.com", "o'brien", "secret"}, 5);
    h.capabilities = {"PIPELINING"};
    h.mailbox = sixMessages();
    h.refusedRetr = {3};
    h.run();
    EXPECT_EQ(h.stored.size(), 5u);
    EXPECT_EQ(h.stored.count(3), 0u);
    EXPECT_FALSE(h.recorded("uid-3"));
    EXPECT_TRUE(h.recorded("uid-4") && h.recorded("uid-6"));
    EXPECT_LE(most(h.commands, h.outstanding), 5u);
    EXPECT_EQ(h.commands.back(), "QUIT");
    EXPECT_EQ(h.dialogue.result(), 1);
    EXPECT_FALSE(h.open);
}

TEST(Pop3Pipeline, ADatabaseThatFailsMidWindowStoresNothingItCannotRecord) {
    Harness h({"pop.example.com", "o'brien", "secret"}, 6);
    h.capabilities = {"PIPELINING"};
    h.mailbox = sixMessages();
    h.tables.recordBreaks = true;  // the first record fails
    h.run();
    // Message 1 is stored, then removed when its record fails; what was in flight then is dropped.
    EXPECT_TRUE(h.stored.empty());
    EXPECT_EQ(h.removed, (std::vector<int>{1}));
    EXPECT_EQ(h.commands.back(), "QUIT");
    EXPECT_EQ(h.outstanding.back(), 1u);
    EXPECT_EQ(h.dialogue.result(), 1);
    EXPECT_FALSE(h.open);
}

std::map<int, ServerMessage> numberedMessages(int count) {
    std::map<int, ServerMessage> box;
    for (int n = 1; n <= count; ++n) box[n] = {"uid-" + std::to_string(n), {"Subject: " + std::to_string(n)}};
    return box;
}

const Lines kPipelinedLogin{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL"};

TEST(Pop3Pipeline, AReRunSendsAConstantNumberOfCommandsAndRetrievesOnlyWhatIsNew) {
    const Pop3Account account{"pop.example.com", "o'brien", "secret"};
    for (const int count : {6, 300}) {
        Harness first(account, 16);
        first.capabilities = {"PIPELINING"};
        first.mailbox = numberedMessages(count);
        first.run();
        ASSERT_EQ(first.stored.size(), static_cast<std::size_t>(count));
        ASSERT_EQ(first.dialogue.result(), 0);

        Harness again(account, 16);
        again.capabilities = {"PIPELINING"};
        again.mailbox = first.mailbox;
        again.tables = first.tables;
        again.run();
        Lines expected = kPipelinedLogin;
        expected.push_back("QUIT");
        EXPECT_EQ(again.commands, expected) << count;
        EXPECT_TRUE(again.stored.empty());
        EXPECT_EQ(again.dialogue.result(), 0);
        EXPECT_EQ(again.dialogue.summary(), "Messages stored: 0, recognised as stored: " + std::to_string(count) +
                                                ", failed: 0; the account is migrated");
    }

    // Two messages deleted and three added on the server: the rest move to
    // new numbers, and exactly the three new ones are retrieved.
    Harness first(account, 16);
    first.capabilities = {"PIPELINING"};
    first.mailbox = numberedMessages(6);
    first.run();
    std::map<int, ServerMessage> changed;
    for (const int kept : {1, 3, 4, 6}) changed[static_cast<int>(changed.size()) + 1] = first.mailbox[kept];
    for (const char* uidl : {"new-a", "new-b", "new-c"})
        changed[static_cast<int>(changed.size()) + 1] = {uidl, {std::string("Subject: ") + uidl}};
    Harness next(account, 16);
    next.capabilities = {"PIPELINING"};
    next.mailbox = changed;
    next.tables = first.tables;
    next.run();
    Lines expected = kPipelinedLogin;
    expected.insert(expected.end(), {"RETR 5", "RETR 6", "RETR 7", "QUIT"});
    EXPECT_EQ(next.commands, expected);
    EXPECT_EQ(next.stored, (std::map<int, std::string>{
                               {5, "Subject: new-a\r\n"}, {6, "Subject: new-b\r\n"}, {7, "Subject: new-c\r\n"}}));
    EXPECT_TRUE(next.recorded("new-a") && next.recorded("new-b") && next.recorded("new-c"));
    EXPECT_EQ(next.dialogue.result(), 0);
}

TEST(Pop3Pipeline, TheWindowNeverExceedsPipeline) {
    for (const int window : {2, 5, 16, 64}) {
        Harness h({"pop.example.com", "o'brien", "secret"}, window);
        h.capabilities = {"PIPELINING"};
        h.mailbox = numberedMessages(100);
        for (int n = 3; n <= 100; n += 3) h.record("uid-" + std::to_string(n));
        h.run();
        EXPECT_EQ(most(h.commands, h.outstanding), static_cast<std::size_t>(window)) << window;
        EXPECT_EQ(h.dialogue.mostInFlight(), static_cast<std::size_t>(window)) << window;
        EXPECT_EQ(h.outstanding.back(), 1u) << "QUIT only once everything before it is answered";
        EXPECT_EQ(h.stored.size(), 67u);
        EXPECT_EQ(h.tables.uidls.size(), 100u);
        EXPECT_EQ(std::count(h.commands.begin(), h.commands.end(), "UIDL"), 1);
        EXPECT_EQ(h.dialogue.result(), 0);
        EXPECT_FALSE(h.open);
    }
}

TEST(Pop3Pipeline, AListedMessageWithoutAUsableUniqueIdIsNotRetrievedAndLeavesTheAccountOpen) {
    const Pop3Account account{"pop.example.com", "o'brien", "secret"};
    Harness h(account, 8);
    h.capabilities = {"PIPELINING"};
    h.mailbox = sixMessages();
    h.refusedUidl = {2};  // missing from the answer
    h.mailbox[4].uidl = std::string(256, 'x');
    h.run();
    Lines expected = kPipelinedLogin;
    expected.insert(expected.end(), {"RETR 1", "RETR 3", "RETR 5", "RETR 6", "QUIT"});
    EXPECT_EQ(h.commands, expected);
    EXPECT_TRUE(h.logged("The answer to UIDL gave unique-ids for 4 of the 6 listed messages"));
    EXPECT_TRUE(h.logged("Message 2 is not retrieved: the answer to UIDL holds no unique-id for it"));
    EXPECT_TRUE(h.logged("Message 4 is not retrieved: its unique-id is longer than 255 characters"));
    EXPECT_FALSE(h.recorded("uid-2"));
    EXPECT_EQ(h.dialogue.result(), 1);
    EXPECT_EQ(h.dialogue.summary(), "Messages stored: 4, recognised as stored: 0, failed: 2; the account is left for "
                                    "the next run: a unique-id could not be used");

    // The next run, the server giving it again, fetches message 2 only.
    Harness next(account, 8);
    next.capabilities = {"PIPELINING"};
    next.mailbox = h.mailbox;
    next.mailbox.erase(4);
    next.tables = h.tables;
    next.run();
    expected = kPipelinedLogin;
    expected.insert(expected.end(), {"RETR 2", "QUIT"});
    EXPECT_EQ(next.commands, expected);
    EXPECT_EQ(next.dialogue.result(), 0);

    // Refused for the whole mailbox: nothing is retrieved and every message counts as failed.
    Harness refused(account, 8);
    refused.capabilities = {"PIPELINING"};
    refused.mailbox = sixMessages();
    refused.refuseUidlList = true;
    refused.run();
    expected = kPipelinedLogin;
    expected.push_back("QUIT");
    EXPECT_EQ(refused.commands, expected);
    EXPECT_TRUE(refused.logged("-ERR Unknown command"));
    EXPECT_TRUE(refused.stored.empty());
    EXPECT_EQ(refused.dialogue.result(), 1);
    EXPECT_EQ(refused.dialogue.summary(), "Messages stored: 0, recognised as stored: 0, failed: 6; the account is left "
                                          "for the next run: the server refused a unique-id");
}

TEST(Pop3Pipeline, TheAnswerToUidlIsReadWithinItsLimitsAndTrustedOnlyWhereItIsUnambiguous) {
    Harness h({"pop.example.com", "o'brien", "secret"}, 8, Pop3Limits{24, 4});
    h.answers = false;
    const std::string tooLong = "2 " + std::string(30, 'b');
    h.feed({"+OK", "+OK", "+OK", "+OK", "PIPELINING", ".", "+OK 5 messages", "1 5", "2 5", "3 7", "4 5", "5 5", ".",
            "+OK", "1 a", "9 stray", tooLong, "3 c", "4 d", "5 e", "6 f", "."});
    EXPECT_EQ(h.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL", "RETR 1", "RETR 3"}));
    EXPECT_TRUE(h.logged("The answer to UIDL gave unique-ids for 2 of the 5 listed messages"));
    EXPECT_TRUE(h.logged("The answer to UIDL held 1 lines without a listed message number; they are not used"));
    EXPECT_TRUE(h.logged("The answer to UIDL held 7 lines, more than the 4 read; the messages of the rest are not "
                         "retrieved"));
    EXPECT_TRUE(h.logged("Message 2 is not retrieved: its line in the answer to UIDL is longer than 24 characters"));
    EXPECT_TRUE(h.logged("Message 4 is not retrieved: the answer to UIDL holds no unique-id for it"));
    EXPECT_TRUE(h.logged("Message 5 is not retrieved: the answer to UIDL holds no unique-id for it"));
    h.feed({"+OK", "one", ".", "+OK", "three", ".", "+OK Logging out."});
    EXPECT_EQ(h.commands.back(), "QUIT");
    EXPECT_EQ(h.stored, (std::map<int, std::string>{{1, "one\r\n"}, {3, "three\r\n"}}));
    EXPECT_TRUE(h.recorded("a") && h.recorded("c"));
    EXPECT_EQ(h.dialogue.result(), 1);

    // A message given two unique-ids has none to trust; the same one twice is
    // one; a unique-id two messages share keeps the occurrence rule, and a
    // message listed twice is still retrieved once.
    Harness twice({"pop.example.com", "o'brien", "secret"}, 8);
    twice.answers = false;
    twice.feed({"+OK", "+OK", "+OK", "+OK", "PIPELINING", ".", "+OK 4 messages", "1 5", "2 5", "3 5", "3 5", "4 5", ".",
                "+OK", "1 a", "1 a", "2 b", "2 x", "3 a", "4 d", "4 d", "."});
    EXPECT_EQ(twice.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL", "RETR 1", "RETR 3", "RETR 4"}));
    EXPECT_TRUE(twice.logged("Message 2 is not retrieved: the answer to UIDL gives it two unique-ids"));
    EXPECT_TRUE(twice.logged("Message 3 has the same unique-id as message 1 (a); both are kept"));
    twice.feed({"+OK", "one", ".", "+OK", "three", ".", "+OK", "four", ".", "+OK Logging out."});
    EXPECT_EQ(twice.stored.size(), 3u);
    EXPECT_TRUE(twice.recorded("a") && twice.recorded("a 2") && twice.recorded("d"));
    EXPECT_FALSE(twice.recorded("a 3"));
    EXPECT_FALSE(twice.recorded("b") || twice.recorded("x"));
    EXPECT_EQ(twice.dialogue.result(), 1);
}

// --- bodies that end early: answers out of step with the commands ---------

// What a session leaves behind, for comparing runs of one transcript.
struct Outcome {
    Lines commands, log;
    std::map<int, std::string> stored;
    std::set<std::string> recorded;
    std::vector<int> removed;
    int closedWithoutQuit = 0;
    int result = 1;
    bool operator==(const Outcome&) const = default;
};

class Feeder : public LineConsumer {
public:
    explicit Feeder(Harness& h) : h_(h) {}
    void onLine(std::string_view line) override { h_.dialogue.onLine(line); }
    void onLiteral(std::string_view, bool) override {}

private:
    Harness& h_;
};

// Feeds `server` in the pieces that `cuts` mark, then the connection closes.
Outcome play(const std::string& server, int window, const std::vector<std::size_t>& cuts,
             const std::function<void(Harness&)>& setUp) {
    Harness h({"pop.example.com", "o'brien", "secret"}, window);
    h.answers = false;
    h.dialogue.setRecordRetry({3, 5});
    if (setUp) setUp(h);
    const auto recordedBefore = h.tables.uidls;
    h.dialogue.connected();
    Feeder feeder(h);
    LineAssembler assembler(LineEnd::Strip);
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        assembler.feed(std::string_view(server).substr(from, cut - from), feeder);
        from = cut;
    }
    assembler.feed(std::string_view(server).substr(from), feeder);
    h.dialogue.sessionEnded();
    EXPECT_FALSE(h.open) << "every file begun is stored or dropped";
    Outcome out{h.commands, h.log, h.stored, {}, h.removed, h.closedWithoutQuit, h.dialogue.result()};
    for (const auto& [key, id] : h.tables.uidls) out.recorded.insert(std::get<2>(key));
    // Nothing is recorded now that is not stored.
    for (const auto& [key, id] : h.tables.uidls) {
        if (recordedBefore.count(key)) continue;
        const std::string& uidl = std::get<2>(key);
        const bool storedNow = std::any_of(h.mailbox.begin(), h.mailbox.end(), [&](const auto& m) {
            return m.second.uidl == uidl && out.stored.count(m.first);
        });
        EXPECT_TRUE(storedNow) << uidl << " recorded but not stored";
    }
    return out;
}

// The same outcome whole, split at every byte, and byte by byte.
Outcome playEverySplit(const std::string& server, int window = 1, const std::function<void(Harness&)>& setUp = {}) {
    const Outcome whole = play(server, window, {}, setUp);
    for (std::size_t cut = 1; cut < server.size(); ++cut) {
        if (!(play(server, window, {cut}, setUp) == whole)) {
            ADD_FAILURE() << "outcome differs when split at byte " << cut << " of " << server.size();
            break;
        }
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < server.size(); ++i) everyByte.push_back(i);
    EXPECT_TRUE(play(server, window, everyByte, setUp) == whole) << "outcome differs when fed byte by byte";
    return whole;
}

const std::string kPop3Login = "+OK Dovecot ready.\r\n+OK\r\n+OK Logged in.\r\n";
const std::string kPipelining = "+OK\r\nUIDL\r\nPIPELINING\r\n.\r\n";

bool loggedIn(const Outcome& o, std::string_view text) {
    return std::any_of(o.log.begin(), o.log.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
}

// The mailbox of the transcripts: message 2 holds a line "." that the
// server does not double, so its answer ends after "first".
void earlyEndMailbox(Harness& h) {
    h.mailbox = {{1, {"u1", {"one"}}}, {2, {"u2", {"first", ".", "second"}}}, {3, {"u3", {"three"}}}};
}

TEST(Pop3OutOfStep, ABodyLineDotEndsTheSessionAndNothingAfterItIsStoredSequentially) {
    const std::string server = kPop3Login + "+OK 3 messages\r\n1 5\r\n2 18\r\n3 7\r\n.\r\n" +
                               "+OK 1 u1\r\n+OK 5 octets\r\none\r\n.\r\n" +
                               "+OK 2 u2\r\n+OK 18 octets\r\nfirst\r\n.\r\nsecond\r\n.\r\n" +
                               "+OK 3 u3\r\n+OK 7 octets\r\nthree\r\n.\r\n+OK Logging out.\r\n";
    const Outcome o = playEverySplit(server, 1, earlyEndMailbox);
    // UIDL 3 went out after the early "."; "second" came where its answer belongs.
    EXPECT_EQ(o.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "RETR 2", "UIDL 3"}));
    EXPECT_EQ(o.stored, (std::map<int, std::string>{{1, "one\r\n"}}));
    EXPECT_EQ(o.recorded, (std::set<std::string>{"u1"}));
    EXPECT_EQ(o.removed, (std::vector<int>{2}));
    EXPECT_EQ(o.closedWithoutQuit, 1);
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(loggedIn(o, "Protocol error: the answer to UIDL 3 does not begin with +OK or -ERR, so the server's "
                            "answers no longer match the commands and the session ends: second"));
    EXPECT_TRUE(loggedIn(o, "Message 2 is removed from the store again: no answer followed its end, and its size (7 "
                            "octets) is not the listed one"));
}

TEST(Pop3OutOfStep, WithCommandsInFlightNoAnswerIsMatchedToTheWrongMessage) {
    // Window 4: one UIDL, then the RETRs; answers come in that order.
    const std::string server = kPop3Login + kPipelining + "+OK 3 messages\r\n1 5\r\n2 18\r\n3 7\r\n.\r\n" +
                               "+OK\r\n1 u1\r\n2 u2\r\n3 u3\r\n.\r\n" + "+OK 5 octets\r\none\r\n.\r\n" +
                               "+OK 18 octets\r\nfirst\r\n.\r\nsecond\r\n.\r\n" + "+OK 7 octets\r\nthree\r\n.\r\n" +
                               "+OK Logging out.\r\n";
    const Outcome o = playEverySplit(server, 4, earlyEndMailbox);
    EXPECT_EQ(o.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL", "RETR 1", "RETR 2", "RETR 3"}));
    // Message 3's file is never begun from message 2's tail, nor anything recorded for it.
    EXPECT_EQ(o.stored, (std::map<int, std::string>{{1, "one\r\n"}}));
    EXPECT_EQ(o.recorded, (std::set<std::string>{"u1"}));
    EXPECT_EQ(o.removed, (std::vector<int>{2}));
    EXPECT_EQ(o.closedWithoutQuit, 1);
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(loggedIn(o, "Protocol error: the answer to RETR 3 does not begin with +OK or -ERR"));

    // The same where the early end is in the first message and everything else is still in flight.
    const std::string first = kPop3Login + kPipelining + "+OK 2 messages\r\n1 18\r\n2 5\r\n.\r\n" +
                              "+OK\r\n1 a\r\n2 b\r\n.\r\n+OK\r\nfirst\r\n.\r\n-ERR looks like an answer\r\n.\r\n" +
                              "+OK\r\ntwo\r\n.\r\n";
    const Outcome f = playEverySplit(first, 16, [](Harness& h) {
        h.mailbox = {{1, {"a", {"first", "."}}}, {2, {"b", {"two"}}}};
    });
    // "-ERR" is a status line: message 1 counts as confirmed, RETR 2 as refused; the "." after it is not an answer.
    EXPECT_TRUE(f.stored.count(1));
    EXPECT_FALSE(f.stored.count(2));
    EXPECT_EQ(f.recorded, (std::set<std::string>{"a"}));
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.closedWithoutQuit, 1);
    // Not even the answer to CAPA may be something else.
    const Outcome capa = playEverySplit(kPop3Login + "PIPELINING\r\n.\r\n", 16);
    EXPECT_EQ(capa.commands, (Lines{"USER o'brien", "PASS secret", "CAPA"}));
    EXPECT_TRUE(loggedIn(capa, "Protocol error: the answer to CAPA does not begin with +OK or -ERR"));
    EXPECT_EQ(capa.closedWithoutQuit, 1);
}

TEST(Pop3OutOfStep, TheMessageBeforeTheBreakStaysOnlyWhenItsSizeIsTheListedOne) {
    // The server's message was "x" alone; a stray line follows its end.
    const std::string agrees = kPop3Login + "+OK 1 messages\r\n1 3\r\n.\r\n+OK 1 u1\r\n+OK\r\nx\r\n.\r\nstray\r\n";
    const Outcome a = playEverySplit(agrees, 1, [](Harness& h) { h.mailbox = {{1, {"u1", {"x"}}}}; });
    EXPECT_EQ(a.stored, (std::map<int, std::string>{{1, "x\r\n"}}));
    EXPECT_EQ(a.recorded, (std::set<std::string>{"u1"}));
    EXPECT_TRUE(a.removed.empty());
    EXPECT_EQ(a.result, 1) << "the session still ended in a protocol error";
    EXPECT_TRUE(loggedIn(a, "Protocol error: the answer to QUIT"));

    // Un-stuffed lines are counted: ".." is the line "." of 3 octets.
    const std::string stuffed = kPop3Login + "+OK 1 messages\r\n1 6\r\n.\r\n+OK 1 u1\r\n+OK\r\n..\r\n.x\r\n.\r\nstray\r\n";
    const Outcome s = playEverySplit(stuffed, 1, [](Harness& h) { h.mailbox = {{1, {"u1", {".", "x"}}}}; });
    EXPECT_EQ(s.stored, (std::map<int, std::string>{{1, ".\r\nx\r\n"}}));
    EXPECT_EQ(s.recorded, (std::set<std::string>{"u1"}));

    // No size in the listing: nothing to agree with.
    const std::string unsized = kPop3Login + "+OK 1 messages\r\n1\r\n.\r\n+OK 1 u1\r\n+OK\r\nx\r\n.\r\nstray\r\n";
    const Outcome u = playEverySplit(unsized, 1, [](Harness& h) { h.mailbox = {{1, {"u1", {"x"}}}}; });
    EXPECT_TRUE(u.stored.empty());
    EXPECT_TRUE(u.recorded.empty());
}

TEST(Pop3OutOfStep, ASizeDifferenceInAStreamThatStaysInStepIsOnlyLogged) {
    // The message changed between LIST and RETR; every answer still begins as it should.
    const std::string server = kPop3Login + "+OK 2 messages\r\n1 100\r\n2 5\r\n.\r\n+OK 1 u1\r\n+OK\r\nchanged\r\n.\r\n" +
                               "+OK 2 u2\r\n+OK\r\ntwo\r\n.\r\n+OK Logging out.\r\n";
    const Outcome o = playEverySplit(server, 1, [](Harness& h) { h.mailbox = {{1, {"u1", {"x"}}}, {2, {"u2", {"two"}}}}; });
    EXPECT_EQ(o.stored.size(), 2u);
    EXPECT_EQ(o.recorded, (std::set<std::string>{"u1", "u2"}));
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(loggedIn(o, "Message 1 has 9 octets where the listing said 100; kept, the server's answers being in step"));
    EXPECT_EQ(o.commands.back(), "QUIT");
}

TEST(Pop3OutOfStep, AMessageWhoseEndNoAnswerConfirmedIsKeptByItsSizeOnly) {
    // The connection closes right after the "." of the last message, before QUIT is answered.
    // "1 1": the server counted the line without the line end the message lacked.
    for (const auto& [listed, kept] : {std::pair{"1 3", true}, std::pair{"1 1", true}, std::pair{"1 4", false},
                                       std::pair{"1 0", false}, std::pair{"1 5", false}}) {
        const std::string server = kPop3Login + "+OK 1 messages\r\n" + listed + "\r\n.\r\n+OK 1 u1\r\n+OK\r\nx\r\n.\r\n";
        const Outcome o = playEverySplit(server, 1, [](Harness& h) { h.mailbox = {{1, {"u1", {"x"}}}}; });
        EXPECT_EQ(o.stored.size(), kept ? 1u : 0u) << listed;
        EXPECT_EQ(o.recorded.size(), kept ? 1u : 0u) << listed;
        EXPECT_EQ(o.result, kept ? 0 : 1) << listed;
    }
}

TEST(Pop3RecordRetry, ARecordIsTriedAgainAndAMessageItCannotRecordIsRemoved) {
    const std::string server = kPop3Login + "+OK 2 messages\r\n1 5\r\n2 5\r\n.\r\n+OK 1 u1\r\n+OK\r\none\r\n.\r\n" +
                               "+OK 2 u2\r\n+OK\r\ntwo\r\n.\r\n+OK Logging out.\r\n";
    const auto box = [](Harness& h) { h.mailbox = {{1, {"u1", {"one"}}}, {2, {"u2", {"two"}}}}; };

    // Busy for two tries, free on the third: nothing is lost.
    const Outcome busy = playEverySplit(server, 1, [&](Harness& h) {
        box(h);
        h.tables.recordFailures = 2;
    });
    EXPECT_EQ(busy.stored.size(), 2u);
    EXPECT_EQ(busy.recorded, (std::set<std::string>{"u1", "u2"}));
    EXPECT_EQ(busy.result, 0);

    Harness pauses({"pop.example.com", "o'brien", "secret"});
    box(pauses);
    pauses.dialogue.setRecordRetry({4, 25});
    pauses.tables.recordFailures = 4;
    pauses.run();
    EXPECT_EQ(pauses.pauses, (std::vector<unsigned long>{25, 25, 25}));
    EXPECT_EQ(pauses.removed, (std::vector<int>{1}));
    EXPECT_TRUE(pauses.stored.empty());
    EXPECT_TRUE(pauses.tables.uidls.empty());
    EXPECT_EQ(pauses.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "QUIT"}));
    EXPECT_EQ(pauses.dialogue.result(), 1);

    // The next run, with the database free, stores it exactly once.
    Harness next({"pop.example.com", "o'brien", "secret"});
    box(next);
    next.tables = pauses.tables;
    next.run();
    EXPECT_EQ(next.commands, login({"UIDL 1", "RETR 1", "UIDL 2", "RETR 2", "QUIT"}));
    EXPECT_EQ(next.stored.size(), 2u);
    EXPECT_EQ(next.dialogue.result(), 0);

    // The record of the last message fails after QUIT went out: it is removed all the same.
    const std::string knownFirst = kPop3Login + "+OK 2 messages\r\n1 5\r\n2 5\r\n.\r\n+OK 1 u1\r\n+OK 2 u2\r\n" +
                                   "+OK\r\ntwo\r\n.\r\n+OK Logging out.\r\n";
    const Outcome last = playEverySplit(knownFirst, 1, [&](Harness& h) {
        box(h);
        h.record("u1");
        h.tables.recordFailures = 3;
    });
    EXPECT_EQ(last.commands, login({"UIDL 1", "UIDL 2", "RETR 2", "QUIT"}));
    EXPECT_TRUE(last.stored.empty());
    EXPECT_EQ(last.removed, (std::vector<int>{2}));
    EXPECT_EQ(last.result, 1);

    // A file that cannot be removed is said in the log: the next run will store it again.
    const Outcome stuck = playEverySplit(server, 1, [&](Harness& h) {
        box(h);
        h.tables.recordFailures = 3;
        h.failRemove = true;
    });
    EXPECT_TRUE(loggedIn(stuck, "Message 1 could not be removed from the store again (its unique-id could not be "
                                "recorded); the next run stores it a second time: Could not remove message file"));
    EXPECT_EQ(stuck.result, 1);
}

TEST(Pop3PipelineTranscript, OneUidlAnswerAndSeveralRetrAnswersReadAtAnySplit) {
    // Message 2 is missing from the answer to UIDL, message 3 recorded
    // before, and the answer names a message LIST did not give.
    const std::string server = kPop3Login + kPipelining + "+OK 4 messages\r\n1 5\r\n2 5\r\n3 7\r\n4 7\r\n.\r\n" +
                               "+OK\r\n1 u1\r\n3 u3\r\n4 u4\r\n7 u7\r\n.\r\n" +
                               "+OK 5 octets\r\none\r\n.\r\n+OK 7 octets\r\n..four\r\n.\r\n+OK Logging out.\r\n";
    const Outcome o = playEverySplit(server, 16, [](Harness& h) {
        h.mailbox = {{1, {"u1", {"one"}}}, {2, {"u2", {"two"}}}, {3, {"u3", {"three"}}}, {4, {"u4", {".four"}}}};
        h.record("u3");
    });
    EXPECT_EQ(o.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL", "RETR 1", "RETR 4", "QUIT"}));
    EXPECT_EQ(o.stored, (std::map<int, std::string>{{1, "one\r\n"}, {4, ".four\r\n"}}));
    EXPECT_EQ(o.recorded, (std::set<std::string>{"u1", "u3", "u4"}));
    EXPECT_TRUE(loggedIn(o, "Message 2 is not retrieved: the answer to UIDL holds no unique-id for it"));
    EXPECT_TRUE(loggedIn(o, "The answer to UIDL held 1 lines without a listed message number; they are not used"));
    EXPECT_EQ(o.closedWithoutQuit, 0);
    EXPECT_EQ(o.result, 1);

    // A window of 2 reads the same transcript to the same end.
    const Outcome two = playEverySplit(server, 2, [](Harness& h) {
        h.mailbox = {{1, {"u1", {"one"}}}, {2, {"u2", {"two"}}}, {3, {"u3", {"three"}}}, {4, {"u4", {".four"}}}};
        h.record("u3");
    });
    EXPECT_EQ(two.stored, o.stored);
    EXPECT_EQ(two.recorded, o.recorded);

    // The first line of the answer must be a status line too.
    const Outcome bad = playEverySplit(kPop3Login + kPipelining + "+OK 1 messages\r\n1 5\r\n.\r\n1 u1\r\n.\r\n", 16);
    EXPECT_EQ(bad.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL"}));
    EXPECT_TRUE(loggedIn(bad, "Protocol error: the answer to UIDL does not begin with +OK or -ERR, so the server's "
                              "answers no longer match the commands and the session ends: 1 u1"));
    EXPECT_EQ(bad.closedWithoutQuit, 1);
    EXPECT_TRUE(bad.stored.empty());

    // The connection ends inside the answer: nothing is retrieved or recorded.
    const Outcome cut = playEverySplit(kPop3Login + kPipelining + "+OK 2 messages\r\n1 5\r\n2 5\r\n.\r\n+OK\r\n1 u1\r\n", 16);
    EXPECT_EQ(cut.commands.back(), "UIDL");
    EXPECT_TRUE(cut.recorded.empty());
    EXPECT_EQ(cut.result, 1);
}

TEST(Pop3Body, ReaderUnstuffsCountsAndStopsAtTheTerminator) {
    Pop3BodyReader r;
    EXPECT_EQ(r.read("..").content, ".");
    EXPECT_EQ(r.read(".x").content, "x");
    EXPECT_EQ(r.read("").content, "");
    EXPECT_EQ(r.octets(), 3u + 3u + 2u);
    EXPECT_TRUE(r.read(".").end);
    EXPECT_TRUE(r.read("after").end);
    EXPECT_EQ(r.octets(), 8u);
    EXPECT_EQ(stuffedPop3Line("."), "..");
    EXPECT_EQ(stuffedPop3Line("a."), "a.");
    EXPECT_EQ(listedMessageSize("3 1200"), 1200);
    EXPECT_EQ(listedMessageSize("3"), -1);
    EXPECT_EQ(listedMessageSize("3 12x"), -1);
    EXPECT_TRUE(isPop3StatusLine("+OK") && isPop3StatusLine("-ERR no"));
    EXPECT_FALSE(isPop3StatusLine("+ok") || isPop3StatusLine("-- ") || isPop3StatusLine("+1") || isPop3StatusLine(""));
}

}  // namespace
}  // namespace rvo

namespace rvo {
namespace {

// "user=o'brien^Aauth=Bearer ya29.secret^A^A" and the OAUTHBEARER form.
const std::string kXoauth2Response = "dXNlcj1vJ2JyaWVuAWF1dGg9QmVhcmVyIHlhMjkuc2VjcmV0AQE=";
const std::string kOauthBearerResponse = "bixhPW8nYnJpZW4sAWF1dGg9QmVhcmVyIHlhMjkuc2VjcmV0AQE=";

Pop3Account tokenAccount(const std::string& mechanism) {
    Pop3Account account{"pop.example.com", "o'brien", "No Password"};
    account.signIn = mechanism == "XOAUTH2" ? SaslSignIn{"XOAUTH2", kXoauth2Response, ""}
                                            : SaslSignIn{"OAUTHBEARER", kOauthBearerResponse, "AQ=="};
    return account;
}

bool secretLogged(const Harness& h) {
    return h.logged("ya29") || h.logged(kXoauth2Response) || h.logged(kOauthBearerResponse);
}

TEST(Pop3SignIn, AuthSendsTheResponseAfterThePlusAndTheDialogueGoesOnAsAfterPass) {
    for (const std::string mechanism : {"XOAUTH2", "OAUTHBEARER"}) {
        for (const int window : {1, 4}) {
            Harness h(tokenAccount(mechanism), window);
            h.capabilities = {"PIPELINING"};
            h.mailbox = {{1, {"uid-1", {"Subject: one"}}}, {2, {"uid-2", {"Subject: two"}}}};
            h.run();
            const std::string response = mechanism == "XOAUTH2" ? kXoauth2Response : kOauthBearerResponse;
            ASSERT_GE(h.commands.size(), 3u);
            EXPECT_EQ(h.commands[0], "AUTH " + mechanism) << "no initial response on the AUTH line";
            EXPECT_EQ(h.commands[1], response);
            EXPECT_EQ(h.commands[2], window > 1 ? "CAPA" : "LIST");
            EXPECT_EQ(h.stored.size(), 2u);
            EXPECT_TRUE(h.recorded("uid-1") && h.recorded("uid-2")) << "recorded under the account's own name";
            EXPECT_EQ(h.dialogue.result(), 0);
            EXPECT_EQ(h.log.front(), "AUTH " + mechanism);
            EXPECT_FALSE(secretLogged(h));
        }
    }
}

TEST(Pop3SignIn, ARefusedTokenIsAnsweredPerMechanismAndLoggedOnceWithItsStatus) {
    for (const std::string mechanism : {"XOAUTH2", "OAUTHBEARER"}) {
        Harness h(tokenAccount(mechanism));
        h.refuseToken = true;
        h.mailbox = {{1, {"uid-1", {"Subject: one"}}}};
        h.run();
        const Pop3Account account = tokenAccount(mechanism);
        EXPECT_EQ(h.commands, (Lines{"AUTH " + mechanism, account.signIn->initialResponse, account.signIn->failureReply}));
        EXPECT_EQ(h.log, (Lines{"AUTH " + mechanism,
                                "The server refused the OAuth 2.0 token (status 401): -ERR [AUTH] Authentication failed."}));
        EXPECT_EQ(h.closedWithoutQuit, 1);
        EXPECT_TRUE(h.stored.empty());
        EXPECT_EQ(h.dialogue.result(), 1);
        EXPECT_NE(h.dialogue.summary().find("the server refused the login"), std::string::npos);
    }

    // AUTH refused at once: logged as a refused PASS is.
    Harness atOnce(tokenAccount("XOAUTH2"));
    atOnce.refuseAuth = true;
    atOnce.run();
    EXPECT_EQ(atOnce.commands, Lines{"AUTH XOAUTH2"});
    EXPECT_EQ(atOnce.log, (Lines{"AUTH XOAUTH2", "-ERR [AUTH] Unsupported authentication mechanism."}));
    EXPECT_EQ(atOnce.closedWithoutQuit, 1);
    EXPECT_EQ(atOnce.dialogue.result(), 1);

    // A second challenge is cancelled; an unsendable sign-in is not sent.
    Harness twice(tokenAccount("XOAUTH2"));
    twice.answers = false;
    twice.feed({"+OK ready", "+ ", "+ e30=", "+ e30=", "-ERR cancelled"});
    EXPECT_EQ(twice.commands, (Lines{"AUTH XOAUTH2", kXoauth2Response, "", "*"}));
    EXPECT_TRUE(twice.logged("The server refused the OAuth 2.0 token: -ERR cancelled"));

    Pop3Account broken = tokenAccount("XOAUTH2");
    broken.signIn->initialResponse = "abc\r\nDELE 1";
    Harness unsendable(broken);
    unsendable.run();
    EXPECT_TRUE(unsendable.commands.empty());
    EXPECT_FALSE(unsendable.logged("DELE"));
    EXPECT_EQ(unsendable.dialogue.result(), 1);
}

TEST(Pop3SignIn, TheSourceUserGoesInUserWhileTheRecordsKeepTheAccountName) {
    Pop3Account account{"pop.example.com", "o'brien", "secret"};
    account.sourceUser = "obrien@example.com";
    Harness h(account);
    h.mailbox = {{1, {"uid-1", {"Subject: one"}}}};
    h.run();
    EXPECT_EQ(h.commands, (Lines{"USER obrien@example.com", "PASS secret", "LIST", "UIDL 1", "RETR 1", "QUIT"}));
    EXPECT_TRUE(h.recorded("uid-1"));
    EXPECT_EQ(h.dialogue.result(), 0);

    account.sourceUser = "bob\r\nDELE 1";
    Harness unsafe(account);
    unsafe.run();
    EXPECT_TRUE(unsafe.commands.empty());
}

// How the session ended, as the dialogue tells it, settled as the session
// settles it when the connection saw nothing.
SessionEnding endingOf(const Harness& h) {
    return settleEnding(h.dialogue.result(), h.dialogue.ending(), EndingRecord{}, h.dialogue.tally());
}

TEST(Pop3Ending, ACompletedRunCountsItsMessagesAndTheBytesOfTheirFiles) {
    Harness h;
    h.mailbox = {{1, {"uid-1", {"Subject: one", "", ".first"}}}, {2, {"uid-2", {"x"}}}, {3, {"uid-3", {"three"}}}};
    h.record("uid-2");
    h.run();
    const SessionEnding ending = endingOf(h);
    EXPECT_EQ(ending.end, SessionEnd::Completed);
    EXPECT_EQ(ending.stored, 2u);
    EXPECT_EQ(ending.recognised, 1u);
    EXPECT_EQ(ending.failed, 0u);
    EXPECT_EQ(ending.bytesStored, h.stored[1].size() + h.stored[3].size());
    EXPECT_TRUE(ending.reason.empty());
    EXPECT_TRUE(ending.lastRefusal.empty());
}

TEST(Pop3Ending, ARefusedSignInKeepsTheServersLineForTheRetryRule) {
    for (const std::string refusal : {"-ERR [AUTH] Authentication failed.", "-ERR [IN-USE] Mailbox is locked"}) {
        Harness h;
        h.answers = false;
        h.feed({"+OK ready", "+OK", refusal});
        const SessionEnding ending = endingOf(h);
        EXPECT_EQ(ending.end, SessionEnd::LoginRefused);
        EXPECT_EQ(ending.lastRefusal, refusal);
        EXPECT_EQ(ending.reason, "the server refused the sign-in: " + refusal);
    }
    // A negative greeting is the server's refusal, not the sign-in's.
    Harness greeting;
    greeting.answers = false;
    greeting.feed({"-ERR [SYS/TEMP] try again later"});
    EXPECT_EQ(endingOf(greeting).end, SessionEnd::ServerError);
    EXPECT_EQ(endingOf(greeting).lastRefusal, "-ERR [SYS/TEMP] try again later");
    // Credentials that cannot be sent are a settings mistake.
    Harness unsendable({"s", "bob", "pw\nDELE 1"});
    unsendable.run();
    EXPECT_EQ(endingOf(unsendable).end, SessionEnd::SettingsMistake);
}

TEST(Pop3Ending, ADatabaseOrStoreFailureIsTheCauseAndARefusalAfterItOnlyItsLastLine) {
    Harness db;
    db.mailbox = {{1, {"a", {"1"}}}};
    db.tables.broken = true;
    db.run();
    EXPECT_EQ(endingOf(db).end, SessionEnd::DatabaseFailed);
    EXPECT_EQ(endingOf(db).reason, "the migration database failed: State:HY000,Native:8,Message:readonly");

    Harness record;
    record.mailbox = {{1, {"a", {"1"}}}};
    record.tables.recordBreaks = true;
    record.run();
    EXPECT_EQ(endingOf(record).end, SessionEnd::DatabaseFailed);
    EXPECT_EQ(endingOf(record).stored, 0u);
    EXPECT_EQ(endingOf(record).bytesStored, 0u);

    Harness store;
    store.mailbox = {{1, {"a", {"line 1", "line 2"}}}, {2, {"b", {"x"}}}};
    store.failWriteAfter = 1;
    store.refusedRetr = {2};
    store.run();
    const SessionEnding ending = endingOf(store);
    EXPECT_EQ(ending.end, SessionEnd::StoreWriteFailed);
    EXPECT_EQ(ending.reason, "the store could not be written: Could not write message file");
    EXPECT_EQ(ending.lastRefusal, "-ERR Message is gone");
    EXPECT_EQ(ending.failed, 2u);

    // A refused RETR alone is a server error.
    Harness retr;
    retr.mailbox = {{1, {"a", {"1"}}}};
    retr.refusedRetr = {1};
    retr.run();
    EXPECT_EQ(endingOf(retr).end, SessionEnd::ServerError);
}

// --- a check of the account: counts only --------------------------------

const std::string kCheckTranscript = kPop3Login + "+OK 3 300\r\n" +
                                     "+OK 3 messages:\r\n1 100\r\n2 120\r\n3 80\r\n.\r\n" +
                                     "+OK\r\n1 u1\r\n2 u2\r\n3 u1\r\n.\r\n" + "+OK Logging out.\r\n";

// u1 is recorded for message 1; message 3 shares it, and its own record
// ("u1 2") is missing.
void checkWithU1Recorded(Harness& h) {
    h.dialogue.setCheckOnly(true);
    h.tables.servers = {{"pop.example.com", 1}};
    h.tables.users = {{{"o'brien", 1}, 1}};
    h.tables.uidls = {{{1, 1, "u1"}, 1}};
}

struct CheckRun {
    CheckCounts counts;
    FakeTables tables;
    int result = 1;
    Lines commands;
    std::optional<SessionEnd> end;
    std::string lastRefusal;
};

CheckRun runCheck(const std::string& server, int window, const std::function<void(Harness&)>& setUp) {
    Harness h({"pop.example.com", "o'brien", "secret"}, window);
    h.answers = false;
    setUp(h);
    h.dialogue.connected();
    Feeder feeder(h);
    LineAssembler assembler(LineEnd::Strip);
    assembler.feed(server, feeder);
    h.dialogue.sessionEnded();
    return {h.dialogue.checkCounts(), h.tables,     h.dialogue.result(),
            h.commands,               h.dialogue.ending().end(), h.dialogue.ending().lastRefusal()};
}

TEST(Pop3Check, CountsWhatAMigrationWouldCopyAndRetrievesOrWritesNothing) {
    for (const int window : {1, 8}) {
        const Outcome o = playEverySplit(kCheckTranscript, window, checkWithU1Recorded);
        EXPECT_EQ(o.commands, (Lines{"USER o'brien", "PASS secret", "STAT", "LIST", "UIDL", "QUIT"}));
        EXPECT_TRUE(loggedIn(o, "Check of the mailbox: 2 messages (200 bytes) to copy, 1 already stored"));
        EXPECT_TRUE(o.stored.empty());
        EXPECT_EQ(o.recorded, (std::set<std::string>{"u1"}));
        EXPECT_EQ(o.result, 0);

        const CheckRun run = runCheck(kCheckTranscript, window, checkWithU1Recorded);
        EXPECT_EQ(run.counts.folders, 1u);
        EXPECT_EQ(run.counts.messages, 2u);
        EXPECT_EQ(run.counts.bytes, 200u);
        EXPECT_EQ(run.counts.alreadyStored, 1u);
        // Not a row added: no server, user or unique-id registered.
        EXPECT_EQ(run.tables.servers.size(), 1u);
        EXPECT_EQ(run.tables.users.size(), 1u);
        EXPECT_EQ(run.tables.uidls.size(), 1u);
    }
}

TEST(Pop3Check, AnAccountNeverMigratedOrADatabaseThatCannotBeReadCountsEveryMessage) {
    const CheckRun fresh = runCheck(kCheckTranscript, 1, [](Harness& h) { h.dialogue.setCheckOnly(true); });
    EXPECT_EQ(fresh.counts.messages, 3u);
    EXPECT_EQ(fresh.counts.bytes, 300u);
    EXPECT_EQ(fresh.counts.alreadyStored, 0u);
    EXPECT_TRUE(fresh.tables.servers.empty());
    EXPECT_TRUE(fresh.tables.users.empty());
    EXPECT_EQ(fresh.result, 0);

    const Outcome broken = playEverySplit(kCheckTranscript, 1, [](Harness& h) {
        checkWithU1Recorded(h);
        h.tables.broken = true;
    });
    EXPECT_TRUE(loggedIn(broken, "could not be read"));
    EXPECT_TRUE(loggedIn(broken, "Check of the mailbox: 3 messages (300 bytes) to copy, 0 already stored"));
    EXPECT_EQ(broken.result, 0);
}

TEST(Pop3Check, ARefusedListOrALineOutOfStepLeavesTheCheckUnfinished) {
    const Outcome refused =
        playEverySplit(kPop3Login + "+OK 0 0\r\n-ERR [SYS/TEMP] try later\r\n+OK Logging out.\r\n", 1,
                       [](Harness& h) { h.dialogue.setCheckOnly(true); });
    EXPECT_EQ(refused.commands, (Lines{"USER o'brien", "PASS secret", "STAT", "LIST", "QUIT"}));
    EXPECT_EQ(refused.result, 1);
    // The server's words reach the run, which may try a "try later" again.
    const CheckRun temporary = runCheck(kPop3Login + "+OK 0 0\r\n-ERR [SYS/TEMP] try later\r\n+OK Logging out.\r\n", 1,
                                        [](Harness& h) { h.dialogue.setCheckOnly(true); });
    EXPECT_EQ(temporary.end, SessionEnd::ServerError);
    EXPECT_EQ(temporary.lastRefusal, "-ERR [SYS/TEMP] try later");
    const Outcome outOfStep = playEverySplit(kPop3Login + "+OK 1 10\r\nnonsense\r\n", 1,
                                             [](Harness& h) { h.dialogue.setCheckOnly(true); });
    EXPECT_EQ(outOfStep.closedWithoutQuit, 1);
    EXPECT_EQ(outOfStep.result, 1);
    EXPECT_EQ(runCheck(kPop3Login + "+OK 1 10\r\nnonsense\r\n", 1, [](Harness& h) { h.dialogue.setCheckOnly(true); }).end,
              SessionEnd::Failed);
    const Outcome login = playEverySplit("+OK Dovecot ready.\r\n+OK\r\n-ERR [AUTH] Authentication failed.\r\n", 1,
                                         [](Harness& h) { h.dialogue.setCheckOnly(true); });
    EXPECT_EQ(login.result, 1);
}

}  // namespace
}  // namespace rvo
