// The IMAP dialogue with several commands in flight. A scripted server
// answers each command as it arrives, one answer at a time, and checks from
// its side that no more than PIPELINE commands are ever outstanding; what it
// sent is then replayed as one packet, split at every byte, and must give
// the same outcome.
#include <optional>

#include "engine/core/imap/imap_command_runner.h"
#include "engine/core/store/message_records.h"
#include "tests/unit/imap_transcripts.h"

namespace rvo {
namespace {

using namespace rvo::test;

struct ServerMessage {
    std::string date;
    std::uint32_t uid = 0;
    std::string bytes;
    bool deleted = false;
};

std::string text(std::uint32_t uid) { return "Subject: " + std::to_string(uid) + "\r\n\r\nbody of " + std::to_string(uid) + "\r\n"; }

// Messages with the UIDs 11, 12, ..., two seconds apart unless `sameSlot`.
std::vector<ServerMessage> inbox(int count, bool sameSlot = false) {
    std::vector<ServerMessage> out;
    for (int i = 0; i < count; ++i) {
        const int second = sameSlot ? 10 : 10 + 2 * i;
        out.push_back({"08-Mar-2006 09:" + std::to_string(10 + second / 60) + ":" + std::to_string(10 + second % 50) +
                           " +0000",
                       static_cast<std::uint32_t>(11 + i), text(11 + i)});
    }
    return out;
}

class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<ServerMessage> messages) : inbox_(std::move(messages)) {}

    std::set<std::uint32_t> refuseBody;  // by UID, once each
    // After answering the n-th command of the session (from 1), another
    // client expunges the message with this UID.
    std::optional<std::pair<std::size_t, std::uint32_t>> expungeAfter;
    bool expungeOnStore = false;  // flagging \Deleted expunges at once
    // Runs body fetches side by side as Dovecot does: their completions come
    // after the bodies of the fetches that follow (up to four held).
    bool sideBySide = false;
    std::set<std::uint32_t> flagged;

    std::string answer(const std::string& command) {
        ++answered_;
        std::string out;
        if (sideBySide) {
            const bool bodyFetch = command.starts_with("A004 ");
            if (!bodyFetch || held_.size() == 4) out = heldCompletions();
            if (bodyFetch) {
                std::string whole = reply(command);
                const std::size_t tagged = whole.rfind("A004 ");
                held_.push_back(whole.substr(tagged));
                out += whole.substr(0, tagged);
                return out;
            }
        }
        out += reply(command);
        if (expungeAfter && expungeAfter->first == answered_) out += expunge(expungeAfter->second);
        return out;
    }
    std::uint32_t uidOf(std::uint32_t number) const { return number <= inbox_.size() ? inbox_[number - 1].uid : 0; }
    std::string heldCompletions() {
        std::string out;
        for (const std::string& line : held_) out += line;
        held_.clear();
        return out;
    }

private:
    std::vector<std::string> held_;
    std::string expunge(std::uint32_t uid) {
        for (std::size_t i = 0; i < inbox_.size(); ++i) {
            if (inbox_[i].uid != uid) continue;
            inbox_.erase(inbox_.begin() + static_cast<std::ptrdiff_t>(i));
            return "* " + std::to_string(i + 1) + " EXPUNGE\r\n";
        }
        return {};
    }

    std::string reply(const std::string& command) {
        const std::string tag = command.substr(0, 4);
        const std::string rest = command.substr(5);
        if (rest.starts_with("LOGIN")) return kLoginOk;
        if (rest.starts_with("LIST")) return kInbox + kListOk;
        if (rest.starts_with("SELECT")) return selectOk(static_cast<int>(inbox_.size()));
        if (rest.starts_with("SEARCH")) {
            std::string numbers;
            for (std::size_t i = 0; i < inbox_.size(); ++i) {
                if (rest == "SEARCH NOT DELETED" && inbox_[i].deleted) continue;
                numbers += (numbers.empty() ? "" : " ") + std::to_string(i + 1);
            }
            return searchResult(numbers);
        }
        if (rest.starts_with("LOGOUT")) return kLogoutOk;
        const std::uint32_t n = static_cast<std::uint32_t>(std::stoul(rest.substr(rest.find(' ') + 1)));
        if (n == 0 || n > inbox_.size()) return tag + " NO Invalid messageset\r\n";
        ServerMessage& m = inbox_[n - 1];
        const std::string number = std::to_string(n);
        if (rest.starts_with("FETCH") && rest.find("INTERNALDATE") != std::string::npos)
            return internalDate(number, m.date, std::to_string(m.uid));
        if (rest.starts_with("FETCH")) {
            if (refuseBody.erase(m.uid)) return tag + " NO [SERVERBUG] Internal error\r\n";
            return body(number, m.bytes);
        }
        if (rest.starts_with("STORE")) {
            m.deleted = true;
            flagged.insert(m.uid);
            std::string out = "* " + number + " FETCH (FLAGS (\\Deleted))\r\n";
            if (expungeOnStore) out += expunge(m.uid);
            return out + tag + " OK Store completed.\r\n";
        }
        return tag + " BAD unknown\r\n";
    }

    std::vector<ServerMessage> inbox_;
    std::size_t answered_ = 0;
};

struct Served {
    std::string transcript;  // every byte the server sent
    Outcome outcome;
    std::size_t mostOutstanding = 0;
    std::size_t mostInFlight = 0;
    bool storeBeforeCommit = false;
};

// One session against `server`, one answer per packet.
Served serve(ScriptedServer& server, const ImapDialogueValues& values, const StoreState& stored = {},
             const std::function<void(FakeStore&)>& setUp = {}) {
    FakeStore store;
    store.state = stored;
    if (setUp) setUp(store);
    Harness harness(values, store);
    Served out;
    out.transcript = kGreeting;
    harness.feed(kGreeting);
    std::size_t answered = 0;
    for (;;) {
        if (answered == harness.sentSoFar().size()) {
            // Nothing more to answer: what the server held goes out.
            const std::string held = server.heldCompletions();
            if (held.empty()) break;
            out.transcript += held;
            harness.feed(held);
            continue;
        }
        const std::string command = harness.sentSoFar()[answered++];
        if (command.starts_with("A005 STORE ")) {
            // Its file is committed by now: a file holds the message flagged.
            const std::uint32_t uid = server.uidOf(static_cast<std::uint32_t>(std::stoul(command.substr(11))));
            const bool committed = std::any_of(store.state.files.begin(), store.state.files.end(), [&](const StoredFile& f) {
                return f.bytes.find(text(uid)) != std::string::npos;
            });
            if (!committed) out.storeBeforeCommit = true;
        }
        const std::string reply = server.answer(command);
        out.transcript += reply;
        harness.feed(reply);
        out.mostOutstanding = std::max(out.mostOutstanding, harness.sentSoFar().size() - answered);
    }
    out.outcome = harness.outcome();
    out.mostInFlight = harness.dialogue().mostInFlight();
    return out;
}

ImapDialogueValues pipelined(int depth, bool markDeleted = false) {
    ImapDialogueValues v = defaultValues();
    v.settings.pipelineDepth = depth;
    v.settings.markDeleted = markDeleted ? 1 : 0;
    return v;
}

// The outcome of the session, and the same bytes replayed in one packet at every split.
Served checked(ScriptedServer& server, const ImapDialogueValues& values, const StoreState& stored = {},
               const std::function<void(FakeStore&)>& setUp = {}) {
    Served s = serve(server, values, stored, setUp);
    EXPECT_LE(s.mostOutstanding, static_cast<std::size_t>(values.settings.pipelineDepth));
    EXPECT_LE(s.mostInFlight, static_cast<std::size_t>(values.settings.pipelineDepth));
    EXPECT_FALSE(s.storeBeforeCommit);
    EXPECT_FALSE(s.outcome.fileOpen);
    const Outcome replayed = playEverySplit(s.transcript, values, stored, setUp);
    EXPECT_TRUE(replayed == s.outcome) << "the replayed transcript gives another outcome";
    return s;
}

// Every file holds the message its record names: none under another's identity.
void expectFilesMatchTheirRecords(const Outcome& out) {
    std::map<std::string, std::uint32_t> uidByFile;
    for (const auto& [directory, lines] : out.state.records)
        for (const MessageRecord& r : parseRecords(lines)) uidByFile[r.fileName] = r.id.uid;
    for (const StoredFile& f : out.files) {
        ASSERT_TRUE(uidByFile.count(f.name)) << f.name;
        EXPECT_EQ(f.bytes.substr(f.bytes.find("\r\n") + 2), text(uidByFile[f.name]) + "\r\n") << f.name;
    }
}

std::multiset<std::string> sorted(const Strings& lines) { return {lines.begin(), lines.end()}; }

std::multiset<std::uint32_t> storedUids(const Outcome& out) {
    std::multiset<std::uint32_t> uids;
    for (const StoredFile& f : out.files) {
        const std::string b = f.bytes.substr(f.bytes.find("\r\n") + 2);
        uids.insert(static_cast<std::uint32_t>(std::stoul(b.substr(9))));
    }
    return uids;
}

TEST(ImapCommandRunner, CompletionsGoToTheOldestCommandByItsTag) {
    Strings sent;
    ImapCommandRunner runner([&](std::string_view b) { sent.emplace_back(b); return true; }, 3);
    Strings done;
    const auto note = [&](std::string name) {
        return [&done, name](const ImapCompletion& c) {
            done.push_back(name + (c.status == ImapStatus::Ok ? " ok" : " refused") + (c.crossedExpunge ? " crossed" : ""));
        };
    };
    EXPECT_TRUE(runner.send("I001", "I001 FETCH 1 (INTERNALDATE UID)\r\n", note("date 1")));
    EXPECT_TRUE(runner.send("I001", "I001 FETCH 2 (INTERNALDATE UID)\r\n", note("date 2")));
    EXPECT_TRUE(runner.send("A004", "A004 FETCH 1 (BODY.PEEK[])\r\n", note("body 1")));
    EXPECT_FALSE(runner.hasRoom());
    EXPECT_EQ(runner.onTagged("I001 OK Fetch completed."), ImapCommandRunner::Match::Completed);
    // The next completion is the second date's: a body completion now is out of step.
    EXPECT_EQ(runner.onTagged("A004 OK Fetch completed."), ImapCommandRunner::Match::OutOfStep);
    runner.expungeArrived();
    EXPECT_EQ(runner.onTagged("i001 no such message"), ImapCommandRunner::Match::Completed);
    EXPECT_EQ(runner.onTagged("A004 OK done"), ImapCommandRunner::Match::Completed);
    EXPECT_EQ(done, (Strings{"date 1 ok", "date 2 refused crossed", "body 1 ok crossed"}));
    EXPECT_TRUE(runner.idle());
    EXPECT_EQ(runner.onTagged("A004 OK done"), ImapCommandRunner::Match::OutOfStep);
    EXPECT_EQ(runner.mostInFlight(), 3u);

    ImapCommandRunner broken([](std::string_view) { return false; }, 0);
    EXPECT_EQ(broken.window(), 1u);
    EXPECT_FALSE(broken.send("A006", "A006 LOGOUT\r\n", note("logout")));
    EXPECT_TRUE(broken.idle());
}

TEST(ImapPipeline, DatesGoAheadAndEverythingIsAsOneAtATimeOnlySentEarlier) {
    ScriptedServer one(inbox(12));
    const Served sequential = checked(one, pipelined(1));
    EXPECT_EQ(sequential.mostOutstanding, 1u);

    ScriptedServer server(inbox(12));
    const Served s = checked(server, pipelined(5));
    const Outcome& out = s.outcome;
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(s.mostInFlight, 5u);
    EXPECT_EQ(s.mostOutstanding, 5u);
    // Five dates ahead, then each body as soon as its date is answered.
    const auto first = std::find(out.sent.begin(), out.sent.end(), "I001 FETCH 1 (INTERNALDATE UID)");
    ASSERT_NE(first, out.sent.end());
    EXPECT_EQ(Strings(first, first + 7),
              (Strings{"I001 FETCH 1 (INTERNALDATE UID)", "I001 FETCH 2 (INTERNALDATE UID)",
                       "I001 FETCH 3 (INTERNALDATE UID)", "I001 FETCH 4 (INTERNALDATE UID)",
                       "I001 FETCH 5 (INTERNALDATE UID)", "A004 FETCH 1 (BODY.PEEK[])", "A004 FETCH 2 (BODY.PEEK[])"}));
    EXPECT_EQ(out.sent.back(), "A006 LOGOUT");

    // The same commands, files, log and dialog lines as one at a time.
    EXPECT_EQ(sorted(out.sent), sorted(sequential.outcome.sent));
    EXPECT_EQ(sorted(out.logged), sorted(sequential.outcome.logged));
    EXPECT_EQ(out.shown, sequential.outcome.shown);
    EXPECT_EQ(out.files, sequential.outcome.files);  // counters and times in message order
    EXPECT_EQ(out.state.records, sequential.outcome.state.records);
    expectFilesMatchTheirRecords(out);

    // A second run fetches no body.
    ScriptedServer again(inbox(12));
    const Served second = serve(again, pipelined(5), out.state);
    EXPECT_EQ(second.outcome.bodyFetches(), 0);
    EXPECT_EQ(second.outcome.skips(), 12);
    EXPECT_EQ(second.outcome.result, 0);
    EXPECT_EQ(second.outcome.files.size(), 12u);
}

TEST(ImapPipeline, ARefusedBodyInTheWindowFailsOnlyItsMessage) {
    for (const bool sideBySide : {false, true}) {
        SCOPED_TRACE(sideBySide ? "fetches run side by side" : "one after the other");
        ScriptedServer server(inbox(8));
        // The first one's file is opened as soon as it is decided.
        server.refuseBody = {11, 14};
        server.sideBySide = sideBySide;
        const Served s = checked(server, pipelined(4));
        EXPECT_EQ(s.outcome.result, 1);
        EXPECT_EQ(storedUids(s.outcome), (std::multiset<std::uint32_t>{12, 13, 15, 16, 17, 18}));
        EXPECT_NE(std::find(s.outcome.logged.begin(), s.outcome.logged.end(), "A004 NO [SERVERBUG] Internal error"),
                  s.outcome.logged.end());
        expectFilesMatchTheirRecords(s.outcome);

        ScriptedServer again(inbox(8));
        const Served second = checked(again, pipelined(4), s.outcome.state);
        EXPECT_EQ(second.outcome.result, 0);
        EXPECT_EQ(second.outcome.bodyFetches(), 2);
        EXPECT_EQ(storedUids(second.outcome), (std::multiset<std::uint32_t>{11, 12, 13, 14, 15, 16, 17, 18}));
    }
}

TEST(ImapPipeline, AnExpungeInTheWindowNeverStoresAMessageUnderAnotherIdentity) {
    // Another client expunges message 3 after each point of the session in
    // turn; the server applies it to the commands already sent.
    for (std::size_t after = 8; after <= 24; ++after) {
        SCOPED_TRACE("expunged after command " + std::to_string(after));
        ScriptedServer server(inbox(6));
        server.expungeAfter = {after, 13};
        const Served s = after == 14 ? checked(server, pipelined(4)) : serve(server, pipelined(4));
        EXPECT_LE(s.mostOutstanding, 4u);
        EXPECT_FALSE(s.outcome.fileOpen);
        expectFilesMatchTheirRecords(s.outcome);
        std::multiset<std::uint32_t> uids = storedUids(s.outcome);
        uids.erase(13);  // stored, or expunged before it could be
        EXPECT_EQ(uids, (std::multiset<std::uint32_t>{11, 12, 14, 15, 16}));
        EXPECT_EQ(s.outcome.result, 0);

        // The next run finds everything the server still has.
        std::vector<ServerMessage> left = inbox(6);
        left.erase(left.begin() + 2);
        ScriptedServer again(left);
        const Served second = serve(again, pipelined(4), s.outcome.state);
        EXPECT_EQ(second.outcome.bodyFetches(), 0);
        EXPECT_EQ(second.outcome.result, 0);
    }
}

TEST(ImapPipeline, ABodyAfterItsMessagesExpungeIsNotStoredUnderItsIdentity) {
    // Message 1 is expunged after its body fetch was sent, and the server
    // answers the fetch for the message that now has number 1 (one command
    // at a time; in a window the scripted server's cases cover it).
    const std::string date1 = "01-Jan-2005 10:00:00 +0000", date2 = "01-Jan-2005 10:00:10 +0000";
    const std::string transfer = internalDate("1", date1, "11") + "* 1 EXPUNGE\r\n" + body("1", text(12)) +
                                 internalDate("1", date2, "12") + body("1", text(12));
    const Outcome out = playEverySplit(oneFolder(kInbox, "1 2", transfer), pipelined(1));
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(out.files[0].bytes, header(at(2005, 1, 1, 10, 0, 10)) + text(12) + "\r\n");
    expectFilesMatchTheirRecords(out);
    EXPECT_NE(std::find(out.logged.begin(), out.logged.end(), "Message 1 was expunged on the server before it was copied"),
              out.logged.end());
    EXPECT_EQ(out.result, 0);
}

TEST(ImapPipeline, MarkDeletedFlagsEachMessageOnlyAfterItsFileIsCommitted) {
    for (const bool expungeAtOnce : {false, true}) {
        SCOPED_TRACE(expungeAtOnce ? "the server expunges at once" : "flags only");
        ScriptedServer server(inbox(7));
        server.expungeOnStore = expungeAtOnce;
        const Served s = checked(server, pipelined(4, true));
        EXPECT_EQ(s.outcome.result, 0);
        EXPECT_EQ(storedUids(s.outcome), (std::multiset<std::uint32_t>{11, 12, 13, 14, 15, 16, 17}));
        EXPECT_EQ(server.flagged, (std::set<std::uint32_t>{11, 12, 13, 14, 15, 16, 17}));
        expectFilesMatchTheirRecords(s.outcome);
    }
}

TEST(ImapPipeline, BodiesBeforeTheirCompletionsAreCommittedInOrder) {
    // A server running the fetches side by side sends the next body before
    // the completion of the last: each file is finished as the next begins.
    for (const bool markDeleted : {false, true}) {
        SCOPED_TRACE(markDeleted ? "MARK_DELETED" : "copy only");
        ScriptedServer one(inbox(9));
        const Served sequential = serve(one, pipelined(1, markDeleted));
        ScriptedServer server(inbox(9));
        server.sideBySide = true;
        const Served s = checked(server, pipelined(6, markDeleted));
        EXPECT_EQ(s.outcome.result, 0);
        EXPECT_EQ(s.outcome.files, sequential.outcome.files);
        EXPECT_EQ(sorted(s.outcome.logged), sorted(sequential.outcome.logged));
        if (markDeleted) {
            EXPECT_EQ(server.flagged.size(), 9u);
        }
        expectFilesMatchTheirRecords(s.outcome);
    }
}

TEST(ImapPipeline, ASameSlotPairIsKeptApartWithoutRecords) {
    // Two messages of one slot, the second a copy of the first: with the
    // records lost, each is matched to a file of its own and nothing is stored again.
    std::vector<ServerMessage> pair = inbox(3, true);
    pair[1].bytes = pair[0].bytes;
    ScriptedServer server(pair);
    const Served first = checked(server, pipelined(8));
    EXPECT_EQ(first.outcome.files.size(), 3u);
    EXPECT_EQ(first.outcome.result, 0);

    ScriptedServer again(pair);
    const Served second = checked(again, pipelined(8), StoreState(first.outcome.files));
    EXPECT_EQ(second.outcome.files.size(), 3u);
    EXPECT_EQ(second.outcome.skips(), 3);
    EXPECT_EQ(second.outcome.result, 0);
    std::set<std::string> files;
    for (const MessageRecord& r : parseRecords(second.outcome.state.records.begin()->second)) files.insert(r.fileName);
    EXPECT_EQ(files.size(), 3u);
}

}  // namespace
}  // namespace rvo
