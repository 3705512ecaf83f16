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

// The UIDs of a sequence set such as "11:14,17".
std::vector<std::uint32_t> setUids(const std::string& set) {
    std::vector<std::uint32_t> out;
    std::size_t at = 0;
    while (at < set.size()) {
        std::size_t comma = set.find(',', at);
        if (comma == std::string::npos) comma = set.size();
        const std::string range = set.substr(at, comma - at);
        const std::size_t colon = range.find(':');
        const std::uint32_t first = static_cast<std::uint32_t>(std::stoul(range.substr(0, colon)));
        const std::uint32_t last =
            colon == std::string::npos ? first : static_cast<std::uint32_t>(std::stoul(range.substr(colon + 1)));
        for (std::uint32_t u = first; u <= last; ++u) out.push_back(u);
        at = comma + 1;
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
    // After answering the n-th command, a new message arrives.
    std::optional<std::size_t> arrivalAfter;
    bool expungeOnStore = false;  // flagging \Deleted expunges at once
    // Runs body fetches side by side as Dovecot does: their completions come
    // after the bodies of the fetches that follow (up to four held).
    bool sideBySide = false;
    // Answers are held in groups of this many and sent in the reverse order.
    std::size_t reverseGroups = 0;
    bool uidAfterBody = false;              // "* n FETCH (BODY[] {k} ... UID u)"
    std::set<std::uint32_t> leftOutOfListing;  // by UID: no data in the date listing
    std::set<std::uint32_t> flagged;

    // What goes out after `command` (possibly nothing yet: held).
    std::string answer(const std::string& command) {
        ++answered_;
        std::string out = reply(command);
        if (expungeAfter && expungeAfter->first == answered_) out += expunge(expungeAfter->second);
        if (arrivalAfter && *arrivalAfter == answered_) {
            const std::uint32_t uid = inbox_.empty() ? 11 : inbox_.back().uid + 1;
            inbox_.push_back({"09-Mar-2006 10:00:00 +0000", uid, text(uid)});
            out += "* " + std::to_string(inbox_.size()) + " EXISTS\r\n";
        }
        if (reverseGroups > 1 && command.find(" UID ") != std::string::npos) {
            held_.insert(held_.begin(), out);
            return held_.size() == reverseGroups ? heldAnswers() : std::string();
        }
        if (sideBySide && command.find("BODY.PEEK") != std::string::npos) {
            // Data now, its completion later.
            const std::size_t tagged = out.rfind("\r\n", out.size() - 3);
            std::string now = heldAnswers();
            if (held_.size() == 4) now += heldAnswers();
            held_.push_back(out.substr(tagged + 2));
            return now + out.substr(0, tagged + 2);
        }
        return heldAnswers() + out;
    }
    std::string heldAnswers() {
        std::string out;
        for (const std::string& a : held_) out += a;
        held_.clear();
        return out;
    }
    std::size_t size() const { return inbox_.size(); }
    std::size_t heldCount() const { return held_.size(); }

private:
    std::string expunge(std::uint32_t uid) {
        for (std::size_t i = 0; i < inbox_.size(); ++i) {
            if (inbox_[i].uid != uid) continue;
            inbox_.erase(inbox_.begin() + static_cast<std::ptrdiff_t>(i));
            return "* " + std::to_string(i + 1) + " EXPUNGE\r\n";
        }
        return {};
    }
    std::size_t numberOf(std::uint32_t uid) const {
        for (std::size_t i = 0; i < inbox_.size(); ++i)
            if (inbox_[i].uid == uid) return i + 1;
        return 0;
    }

    std::string reply(const std::string& command) {
        const std::string tag = command.substr(0, command.find(' '));
        const std::string rest = command.substr(tag.size() + 1);
        const std::string ok = tag + " OK Completed.\r\n";
        if (rest.starts_with("LOGIN")) return kLoginOk;
        if (rest.starts_with("LIST")) return kInbox + kListOk;
        if (rest.starts_with("SELECT")) return selectOk(static_cast<int>(inbox_.size()));
        if (rest.starts_with("LOGOUT")) return kLogoutOk;
        if (rest.starts_with("UID SEARCH")) {
            std::string uids;
            for (const ServerMessage& m : inbox_) {
                if (rest == "UID SEARCH NOT DELETED" && m.deleted) continue;
                uids += " " + std::to_string(m.uid);
            }
            return "* SEARCH" + uids + "\r\n" + ok;
        }
        if (!rest.starts_with("UID ")) return tag + " BAD unknown\r\n";
        const std::size_t setAt = rest.find(' ', 4) + 1;
        const std::string set = rest.substr(setAt, rest.find(' ', setAt) - setAt);
        std::string out;
        if (rest.find("(INTERNALDATE)") != std::string::npos) {
            for (const std::uint32_t uid : setUids(set)) {
                const std::size_t n = numberOf(uid);
                if (n == 0 || leftOutOfListing.count(uid)) continue;
                out += "* " + std::to_string(n) + " FETCH (UID " + std::to_string(uid) + " INTERNALDATE \"" +
                       inbox_[n - 1].date + "\")\r\n";
            }
            return out + ok;
        }
        if (rest.find("(BODY.PEEK[])") != std::string::npos) {
            for (const std::uint32_t uid : setUids(set)) {
                const std::size_t n = numberOf(uid);
                if (n == 0) continue;
                if (refuseBody.erase(uid)) return tag + " NO [SERVERBUG] Internal error\r\n";
                const std::string& bytes = inbox_[n - 1].bytes;
                const std::string u = "UID " + std::to_string(uid);
                out += "* " + std::to_string(n) + " FETCH (" + (uidAfterBody ? "" : u + " ") + "BODY[] {" +
                       std::to_string(bytes.size()) + "}\r\n" + bytes + (uidAfterBody ? " " + u : "") + ")\r\n";
            }
            return out + ok;
        }
        if (rest.find("+FLAGS (\\Deleted)") != std::string::npos) {
            for (const std::uint32_t uid : setUids(set)) {
                const std::size_t n = numberOf(uid);
                if (n == 0) continue;
                inbox_[n - 1].deleted = true;
                flagged.insert(uid);
                out += "* " + std::to_string(n) + " FETCH (UID " + std::to_string(uid) + " FLAGS (\\Deleted))\r\n";
                if (expungeOnStore) out += expunge(uid);
            }
            return out + ok;
        }
        return tag + " BAD unknown\r\n";
    }

    std::vector<ServerMessage> inbox_;
    std::vector<std::string> held_;
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
            const std::string held = server.heldAnswers();
            if (held.empty()) break;
            out.transcript += held;
            harness.feed(held);
            continue;
        }
        const std::string command = harness.sentSoFar()[answered++];
        if (const std::size_t at = command.find(" UID STORE "); at != std::string::npos) {
            // Its file is committed by now: a file holds the message flagged.
            const std::uint32_t uid = static_cast<std::uint32_t>(std::stoul(command.substr(at + 11)));
            const bool committed = std::any_of(store.state.files.begin(), store.state.files.end(), [&](const StoredFile& f) {
                return f.bytes.find(text(uid)) != std::string::npos;
            });
            if (!committed) out.storeBeforeCommit = true;
        }
        const std::string reply = server.answer(command);
        out.transcript += reply;
        harness.feed(reply);
        out.mostOutstanding = std::max(out.mostOutstanding, harness.sentSoFar().size() - answered + server.heldCount());
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

std::multiset<std::uint32_t> storedUids(const Outcome& out) {
    std::multiset<std::uint32_t> uids;
    for (const StoredFile& f : out.files) {
        const std::string b = f.bytes.substr(f.bytes.find("\r\n") + 2);
        uids.insert(static_cast<std::uint32_t>(std::stoul(b.substr(9))));
    }
    return uids;
}

TEST(ImapCommandRunner, CompletionsGoToTheCommandWithTheirTag) {
    Strings sent;
    ImapCommandRunner runner([&](std::string_view b) { sent.emplace_back(b); return true; }, 3);
    Strings done;
    const auto note = [&](std::string name) {
        return [&done, name](const ImapCompletion& c) {
            done.push_back(name + (c.status == ImapStatus::Ok ? " ok" : " refused") + (c.crossedExpunge ? " crossed" : ""));
        };
    };
    EXPECT_TRUE(runner.send("T0001", "T0001 UID FETCH 1:2 (INTERNALDATE)\r\n", note("dates")));
    EXPECT_TRUE(runner.send("T0002", "T0002 UID FETCH 1 (BODY.PEEK[])\r\n", note("body 1")));
    EXPECT_TRUE(runner.send("T0003", "T0003 UID FETCH 2 (BODY.PEEK[])\r\n", note("body 2")));
    EXPECT_FALSE(runner.hasRoom());
    // Completions in another order than the commands.
    EXPECT_EQ(runner.onTagged("T0003 OK Fetch completed."), ImapCommandRunner::Match::Completed);
    EXPECT_EQ(runner.onTagged("T0003 OK again"), ImapCommandRunner::Match::OutOfStep);
    runner.expungeArrived();
    EXPECT_EQ(runner.onTagged("t0001 no such message"), ImapCommandRunner::Match::Completed);
    EXPECT_EQ(runner.onTagged("T00021 OK"), ImapCommandRunner::Match::OutOfStep);
    EXPECT_EQ(runner.onTagged("T0002 OK done"), ImapCommandRunner::Match::Completed);
    EXPECT_EQ(done, (Strings{"body 2 ok", "dates refused crossed", "body 1 ok crossed"}));
    EXPECT_TRUE(runner.idle());
    EXPECT_EQ(runner.mostInFlight(), 3u);

    // Two in flight under one tag: the oldest takes the completion.
    done.clear();
    EXPECT_TRUE(runner.send("A004", "A004 FETCH 1 (BODY.PEEK[])\r\n", note("first")));
    EXPECT_TRUE(runner.send("A004", "A004 FETCH 2 (BODY.PEEK[])\r\n", note("second")));
    EXPECT_EQ(runner.onTagged("A004 OK"), ImapCommandRunner::Match::Completed);
    EXPECT_EQ(done, (Strings{"first ok"}));

    ImapCommandRunner broken([](std::string_view) { return false; }, 0);
    EXPECT_EQ(broken.window(), 1u);
    EXPECT_FALSE(broken.send("A006", "A006 LOGOUT\r\n", note("logout")));
    EXPECT_TRUE(broken.idle());
}

Strings transferCommands(const Outcome& out) {
    Strings commands;
    for (const std::string& c : out.sent)
        if (c.starts_with("T")) commands.push_back(c.substr(c.find(' ') + 1));
    return commands;
}

std::size_t bodyFetchesByUid(const Outcome& out) {
    const Strings c = transferCommands(out);
    return static_cast<std::size_t>(
        std::count_if(c.begin(), c.end(), [](const std::string& x) { return x.ends_with("(BODY.PEEK[])"); }));
}

TEST(ImapPipeline, OneListingPerFolderThenBodiesByUidEachWithATagOfItsOwn) {
    ScriptedServer server(inbox(7));
    const Served s = checked(server, pipelined(4));
    const Outcome& out = s.outcome;
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(s.mostInFlight, 4u);
    const Strings commands = transferCommands(out);
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[0], "UID FETCH 11:17 (INTERNALDATE)");
    EXPECT_EQ(commands[1], "UID FETCH 11 (BODY.PEEK[])");
    EXPECT_EQ(commands.size(), 8u);
    EXPECT_NE(std::find(out.sent.begin(), out.sent.end(), "A003 UID SEARCH NOT DELETED"), out.sent.end());
    std::set<std::string> tags;
    for (const std::string& c : out.sent)
        if (c.starts_with("T")) tags.insert(c.substr(0, c.find(' ')));
    EXPECT_EQ(tags.size(), 8u) << "every pipelined command has a tag of its own";
    EXPECT_EQ(storedUids(out).size(), 7u);
    expectFilesMatchTheirRecords(out);
    // Counters follow message order, and each file has its listed date.
    for (std::size_t i = 0; i < out.files.size(); ++i) EXPECT_EQ(out.files[i].counter, static_cast<int>(i) + 1);

    // A second run over the unchanged folder lists nothing and fetches no body.
    ScriptedServer again(inbox(7));
    const Served second = checked(again, pipelined(4), out.state);
    EXPECT_EQ(transferCommands(second.outcome), Strings{});
    EXPECT_EQ(second.outcome.skips(), 7);
    EXPECT_EQ(second.outcome.result, 0);
    EXPECT_EQ(second.outcome.files.size(), 7u);

    // The commands of a re-run do not grow with the folder.
    ScriptedServer big(inbox(400));
    const Served bigFirst = serve(big, pipelined(16));
    ScriptedServer bigAgain(inbox(400));
    const Served bigSecond = serve(bigAgain, pipelined(16), bigFirst.outcome.state);
    EXPECT_EQ(bigSecond.outcome.sent.size(), second.outcome.sent.size());
    EXPECT_EQ(bigSecond.outcome.skips(), 400);
}

TEST(ImapPipeline, TheListingInChunksAndWhatItLeavesOutIsStillFetched) {
    ImapDialogueValues values = pipelined(4);
    values.maxUidsPerListing = 3;
    std::vector<ServerMessage> messages = inbox(7);
    messages[5].date = "not a date";
    ScriptedServer server(messages);
    server.leftOutOfListing = {13};
    const Served s = checked(server, values);
    const Strings commands = transferCommands(s.outcome);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const std::string& c) { return c.ends_with("(INTERNALDATE)"); }),
              3);
    EXPECT_EQ(commands[0], "UID FETCH 11:13 (INTERNALDATE)");
    EXPECT_EQ(bodyFetchesByUid(s.outcome), 7u);
    EXPECT_EQ(storedUids(s.outcome).size(), 7u) << "never an under-fetch";
    expectFilesMatchTheirRecords(s.outcome);
    EXPECT_EQ(s.outcome.result, 0);
    const Strings& log = s.outcome.logged;
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "The message with UID 13 has no usable INTERNALDATE; it is dated 01/01/1980 00:00:00"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "The message with UID 16 has no usable INTERNALDATE; it is dated 01/01/1980 00:00:00"),
              log.end());
}

TEST(ImapPipeline, CompletionsInAnotherOrderStillTieEachAnswerToItsMessage) {
    for (const bool uidAfterBody : {false, true}) {
        SCOPED_TRACE(uidAfterBody ? "UID after the body" : "UID first");
        ScriptedServer server(inbox(6));
        server.reverseGroups = 3;
        server.uidAfterBody = uidAfterBody;
        const Served s = checked(server, pipelined(6, true));
        EXPECT_EQ(s.outcome.result, 0);
        EXPECT_EQ(storedUids(s.outcome), (std::multiset<std::uint32_t>{11, 12, 13, 14, 15, 16}));
        EXPECT_EQ(server.flagged, (std::set<std::uint32_t>{11, 12, 13, 14, 15, 16}));
        expectFilesMatchTheirRecords(s.outcome);
        // Each file carries its own message's date.
        const std::vector<ServerMessage> sent = inbox(6);
        for (const StoredFile& f : s.outcome.files) {
            const std::uint32_t uid = static_cast<std::uint32_t>(std::stoul(f.bytes.substr(f.bytes.find("body of ") + 8)));
            const ServerMessage& m = sent[uid - 11];
            const CivilTime civil = *parseInternalDate(m.date);
            EXPECT_EQ(f.time, *internalDateToFileTime(civil, 0)) << uid;
        }
    }
}

TEST(ImapPipeline, ARefusedBodyInTheWindowFailsOnlyItsMessage) {
    for (const bool sideBySide : {false, true}) {
        SCOPED_TRACE(sideBySide ? "fetches run side by side" : "one after the other");
        ScriptedServer server(inbox(8));
        server.refuseBody = {11, 14};
        server.sideBySide = sideBySide;
        const Served s = checked(server, pipelined(4));
        EXPECT_EQ(s.outcome.result, 1);
        EXPECT_EQ(storedUids(s.outcome), (std::multiset<std::uint32_t>{12, 13, 15, 16, 17, 18}));
        expectFilesMatchTheirRecords(s.outcome);

        ScriptedServer again(inbox(8));
        const Served second = checked(again, pipelined(4), s.outcome.state);
        EXPECT_EQ(second.outcome.result, 0);
        EXPECT_EQ(bodyFetchesByUid(second.outcome), 2u);
        EXPECT_EQ(storedUids(second.outcome), (std::multiset<std::uint32_t>{11, 12, 13, 14, 15, 16, 17, 18}));
    }
}

TEST(ImapPipeline, ExpungesAndArrivalsAtAnyPointNeitherMisdirectNorLoseAMessage) {
    // Another client expunges the message with UID 13 after each command of
    // the session in turn: before, during and after the listing and the
    // body fetches, and between a body's commit and its flag.
    for (const bool markDeleted : {false, true}) {
        for (std::size_t after = 3; after <= 16; ++after) {
            SCOPED_TRACE((markDeleted ? "MARK_DELETED, expunged after command " : "expunged after command ") +
                         std::to_string(after));
            ScriptedServer server(inbox(6));
            server.expungeAfter = {after, 13};
            const Served s = after == 8 ? checked(server, pipelined(4, markDeleted)) : serve(server, pipelined(4, markDeleted));
            EXPECT_LE(s.mostOutstanding, 4u);
            EXPECT_FALSE(s.outcome.fileOpen);
            EXPECT_FALSE(s.storeBeforeCommit);
            expectFilesMatchTheirRecords(s.outcome);
            std::multiset<std::uint32_t> uids = storedUids(s.outcome);
            const bool got13 = uids.erase(13) == 1;  // stored, or expunged before it could be
            EXPECT_EQ(uids, (std::multiset<std::uint32_t>{11, 12, 14, 15, 16}));
            EXPECT_EQ(s.outcome.result, 0);
            if (markDeleted) {
                // Only stored messages are flagged, each by its own UID.
                std::set<std::uint32_t> expected{11, 12, 14, 15, 16};
                if (got13 && server.flagged.count(13)) expected.insert(13);
                EXPECT_EQ(server.flagged, expected);
            }
            if (!got13 && after >= 7) {  // seen by the transfer's search, then gone
                EXPECT_NE(std::find(s.outcome.logged.begin(), s.outcome.logged.end(),
                                    "The message with UID 13 was expunged on the server before it was copied"),
                          s.outcome.logged.end());
            }

            // The next run finds everything the server still has.
            std::vector<ServerMessage> left = inbox(6);
            left.erase(left.begin() + 2);
            ScriptedServer again(left);
            const Served second = serve(again, pipelined(4), s.outcome.state);
            EXPECT_EQ(bodyFetchesByUid(second.outcome), 0u);
            EXPECT_EQ(second.outcome.result, 0);
        }
    }
    // A message arriving after the transfer's search waits for the next run.
    for (std::size_t after = 7; after <= 11; ++after) {
        SCOPED_TRACE("arrival after command " + std::to_string(after));
        ScriptedServer server(inbox(5));
        server.arrivalAfter = after;
        const Served s = serve(server, pipelined(4));
        EXPECT_EQ(storedUids(s.outcome), (std::multiset<std::uint32_t>{11, 12, 13, 14, 15}));
        EXPECT_EQ(s.outcome.result, 1);
        std::vector<ServerMessage> grown = inbox(5);
        grown.push_back({"09-Mar-2006 10:00:00 +0000", 16, text(16)});
        ScriptedServer again(grown);
        const Served second = serve(again, pipelined(4), s.outcome.state);
        EXPECT_EQ(bodyFetchesByUid(second.outcome), 1u);
        EXPECT_EQ(second.outcome.result, 0);
    }
}

TEST(ImapPipeline, MarkDeletedFlagsEachMessageByUidOnlyAfterItsFileIsCommitted) {
    for (const bool expungeAtOnce : {false, true}) {
        SCOPED_TRACE(expungeAtOnce ? "the server expunges at once" : "flags only");
        ScriptedServer server(inbox(7));
        server.expungeOnStore = expungeAtOnce;
        const Served s = checked(server, pipelined(4, true));
        EXPECT_EQ(s.outcome.result, 0);
        EXPECT_EQ(storedUids(s.outcome), (std::multiset<std::uint32_t>{11, 12, 13, 14, 15, 16, 17}));
        EXPECT_EQ(server.flagged, (std::set<std::uint32_t>{11, 12, 13, 14, 15, 16, 17}));
        const Strings commands = transferCommands(s.outcome);
        EXPECT_NE(std::find(commands.begin(), commands.end(), "UID STORE 17 +FLAGS (\\Deleted)"), commands.end());
        expectFilesMatchTheirRecords(s.outcome);
    }
}

TEST(ImapPipeline, BodiesBeforeTheirCompletionsAreCommittedInOrder) {
    // A server running the fetches side by side sends the next body before
    // the completion of the last: each file is finished as the next begins.
    for (const bool markDeleted : {false, true}) {
        SCOPED_TRACE(markDeleted ? "MARK_DELETED" : "copy only");
        ScriptedServer server(inbox(7));
        server.sideBySide = true;
        const Served s = checked(server, pipelined(6, markDeleted));
        EXPECT_EQ(s.outcome.result, 0);
        ASSERT_EQ(s.outcome.files.size(), 7u);
        for (std::size_t i = 0; i < 7; ++i) {
            const std::string& bytes = s.outcome.files[i].bytes;
            EXPECT_EQ(bytes.substr(bytes.find("\r\n") + 2), text(11 + static_cast<std::uint32_t>(i)) + "\r\n");
        }
        if (markDeleted) {
            EXPECT_EQ(server.flagged.size(), 7u);
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
