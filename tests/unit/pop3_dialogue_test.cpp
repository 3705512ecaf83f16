#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

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
    bool usable() const override { return !t_.broken; }
    std::string name() const override { return "C:\\run\\mail2xrv.mdb"; }
    std::string lastError() const override { return t_.broken ? "State:HY000,Native:8,Message:readonly" : ""; }
    bool acceptsRecords(int) override {
        if (t_.readOnly) t_.broken = true;
        return !t_.broken;
    }
    int recordUidl(int serverId, int userId, const std::string& uidl) override {
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
};

struct ServerMessage {
    std::string uidl;
    Lines lines;  // as the message holds them, before byte-stuffing
};

// Plays a POP3 server: answers each command the dialogue sends, in order,
// and records everything the dialogue does to its surroundings.
class Harness : public Pop3Environment {
public:
    explicit Harness(Pop3Account account = {"pop.example.com", "o'brien", "secret"}, int window = 1)
        : dialogue(*this, account, window) {}

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
        if (c.starts_with("USER")) {
            queue("+OK");
        } else if (c.starts_with("PASS")) {
            queue(c == "PASS secret" ? "+OK Logged in." : "-ERR [AUTH] Authentication failed.");
        } else if (c == "LIST") {
            queue("+OK " + std::to_string(mailbox.size()) + " messages:");
            for (const auto& [n, m] : mailbox) queue(std::to_string(n) + " " + std::to_string(m.lines.size() * 10));
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
        return true;
    }
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
    std::set<int> refusedUidl, refusedRetr;
    Lines capabilities;  // the CAPA answer; none: CAPA is refused
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

    // A record that fails keeps the stored message and ends the dialogue at once.
    Harness breaks;
    breaks.tables.recordBreaks = true;
    breaks.mailbox = {{1, {"a", {"1"}}}, {2, {"b", {"2"}}}};
    breaks.run();
    EXPECT_EQ(breaks.commands, login({"UIDL 1", "RETR 1", "QUIT"}));
    EXPECT_EQ(breaks.stored, (std::map<int, std::string>{{1, "1\r\n"}}));
    EXPECT_TRUE(breaks.logged("Message 1 is stored, but its unique-id could not be recorded"));
    EXPECT_EQ(breaks.dialogue.result(), 1);
    EXPECT_EQ(breaks.dialogue.summary(), "Messages stored: 1, recognised as stored: 0, failed: 0; the account is left "
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

TEST(Pop3Pipeline, UidlsGoAheadAndRetrsFollowTheirLookUpsWhenTheServerListsPipelining) {
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
    EXPECT_EQ(h.commands, (Lines{"USER o'brien", "PASS secret", "CAPA", "LIST", "UIDL 1", "UIDL 2", "UIDL 3", "UIDL 4",
                                 "RETR 1", "UIDL 5", "RETR 3", "RETR 4", "UIDL 6", "RETR 6", "QUIT"}));
    EXPECT_EQ(most(h.commands, h.outstanding), 4u);
    EXPECT_EQ(h.dialogue.mostInFlight(), 4u);
    EXPECT_EQ(h.outstanding.back(), 1u) << "QUIT only once everything before it is answered";
    EXPECT_TRUE(h.logged("The server takes pipelined commands: up to 4 at once"));
    // The same files, records, progress and log lines (but the CAPA one) as one at a time.
    EXPECT_EQ(h.stored, one.stored);
    EXPECT_EQ(h.tables.uidls.size(), 6u);
    EXPECT_EQ(h.shown, one.shown);
    EXPECT_EQ(h.captions, one.captions);
    Lines log = h.log;
    log.erase(std::remove(log.begin(), log.end(), "The server takes pipelined commands: up to 4 at once"), log.end());
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
    // Message 1 is stored before its record fails; what was in flight then is dropped.
    EXPECT_EQ(h.stored.size(), 1u);
    EXPECT_EQ(h.commands.back(), "QUIT");
    EXPECT_EQ(h.outstanding.back(), 1u);
    EXPECT_EQ(h.dialogue.result(), 1);
    EXPECT_FALSE(h.open);
}

}  // namespace
}  // namespace rvo
