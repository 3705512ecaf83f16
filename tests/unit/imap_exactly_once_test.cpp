// Every message exactly once when the mailbox changes under the migration:
// between runs (deletions, flags, new messages, a run that failed half-way,
// lost records) and during a run (EXPUNGE, EXISTS), and when server folders
// share one local directory. Each case is played over two runs with the
// store's files and records carried from the first to the second.
#include "tests/unit/imap_transcripts.h"

namespace rvo {
namespace {

using namespace rvo::test;

struct Message {
    std::string number;
    std::string date;
    std::string uid;
    std::string bytes;
};

std::string message(int i) { return "Subject: message " + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) + "\r\n"; }

// All in one two-second slot.
const std::string kSlot = "08-Mar-2006 09:15:42 +0000";

// The INTERNALDATE step and the body of each message, in order.
std::string transfer(const std::vector<Message>& messages) {
    std::string out;
    for (const Message& m : messages) out += internalDate(m.number, m.date, m.uid) + body(m.number, m.bytes);
    return out;
}

std::vector<Message> slotOf(int count, int firstUid = 11) {
    std::vector<Message> out;
    for (int i = 1; i <= count; ++i)
        out.push_back({std::to_string(i), kSlot, std::to_string(firstUid + i - 1), message(firstUid + i - 1)});
    return out;
}

std::string numbersOf(const std::vector<Message>& messages) {
    std::string out;
    for (const Message& m : messages) out += (out.empty() ? "" : " ") + m.number;
    return out;
}

struct Folder {
    std::string name;
    std::string numbers;
    std::string transfer;
    std::string uidValidity = "1700000000";
};

// Both passes over the folders, then LOGOUT.
std::string mailbox(const std::vector<Folder>& folders) {
    std::string lists, counting, transferring;
    for (const Folder& f : folders) {
        lists += list("\\HasNoChildren", "\"/\"", f.name);
        const int exists = static_cast<int>(std::count(f.numbers.begin(), f.numbers.end(), ' ')) + 1;
        counting += selectOk(exists, f.uidValidity) + searchResult(f.numbers);
        transferring += selectOk(exists, f.uidValidity) + searchResult(f.numbers) + f.transfer;
    }
    return kGreeting + kLoginOk + lists + kListOk + counting + lists + kListOk + transferring + kLogoutOk;
}

std::multiset<std::string> bodies(const Outcome& out) {
    std::multiset<std::string> all;
    for (const StoredFile& f : out.files) all.insert(f.bytes.substr(f.bytes.find("\r\n") + 2));
    return all;
}

std::multiset<std::string> expected(std::initializer_list<int> ids) {
    std::multiset<std::string> all;
    for (const int i : ids) all.insert(message(i) + "\r\n");
    return all;
}

bool loggedLine(const Outcome& out, std::string_view text) {
    return std::find(out.logged.begin(), out.logged.end(), text) != out.logged.end();
}

TEST(ExactlyOnce, AMessageThatFailedIsStoredOnTheNextRunAndItsSlotMateIsNotRepeated) {
    // Message 1's body is refused while message 2 of its slot is stored; then
    // the same with message 1's file failing to be written.
    std::vector<Message> slot = slotOf(2);
    const std::string refused = internalDate("1", kSlot, "11") + "A004 NO [SERVERBUG] Internal error\r\n" +
                                internalDate("2", kSlot, "12") + body("2", slot[1].bytes);
    const auto diskFull = [](FakeStore& store) { store.diskFullCounter = 1; };
    for (const auto& [firstRun, setUp] :
         {std::pair<std::string, std::function<void(FakeStore&)>>{mailbox({{"INBOX", "1 2", refused}}), {}},
          {mailbox({{"INBOX", "1 2", transfer(slot)}}), diskFull}}) {
        const Outcome first = playEverySplit(firstRun, defaultValues(), {}, setUp);
        EXPECT_EQ(first.result, 1);
        EXPECT_EQ(bodies(first), expected({12}));

        const std::string again = internalDate("1", kSlot, "11") + body("1", slot[0].bytes) +
                                  internalDate("2", kSlot, "12");
        const Outcome second = playEverySplit(mailbox({{"INBOX", "1 2", again}}), defaultValues(), first.state);
        EXPECT_EQ(second.result, 0);
        EXPECT_EQ(bodies(second), expected({11, 12}));
        EXPECT_EQ(second.bodyFetches(), 1);
        EXPECT_EQ(second.comparisons, 0);  // the slot's file is message 2's by the record
        EXPECT_TRUE(loggedLine(second, "Skipping message #2"));
        EXPECT_FALSE(loggedLine(second, "Skipping message #1"));
    }
}

TEST(ExactlyOnce, ASlotOfFiveWithTheSecondRefused) {
    const std::vector<Message> slot = slotOf(5);
    std::string firstTransfer;
    for (const Message& m : slot) {
        firstTransfer += internalDate(m.number, m.date, m.uid) +
                         (m.number == "2" ? "A004 NO [SERVERBUG] Internal error\r\n" : body(m.number, m.bytes));
    }
    const Outcome first = playEverySplit(mailbox({{"INBOX", numbersOf(slot), firstTransfer}}));
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(bodies(first), expected({11, 13, 14, 15}));

    std::string again;
    for (const Message& m : slot) again += internalDate(m.number, m.date, m.uid) + (m.number == "2" ? body("2", m.bytes) : "");
    const Outcome second = playEverySplit(mailbox({{"INBOX", numbersOf(slot), again}}), defaultValues(), first.state);
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(bodies(second), expected({11, 12, 13, 14, 15}));
    EXPECT_EQ(second.bodyFetches(), 1);
    EXPECT_EQ(second.skips(), 4);

    // A third run over the unchanged folder fetches no body at all.
    std::string dates;
    for (const Message& m : slot) dates += internalDate(m.number, m.date, m.uid);
    const Outcome third = playEverySplit(mailbox({{"INBOX", numbersOf(slot), dates}}), defaultValues(), second.state);
    EXPECT_EQ(third.bodyFetches(), 0);
    EXPECT_EQ(third.skips(), 5);
    EXPECT_EQ(third.files.size(), 5u);
    EXPECT_EQ(third.result, 0);
}

TEST(ExactlyOnce, MarkDeletedOverTwoRunsWithASameSlotPair) {
    // Run 1 stores and flags message 1 and cannot get message 2 of its slot.
    // Run 2's SEARCH NOT DELETED no longer finds message 1, and message 2 is
    // the first of the slot in this run: it must still be fetched.
    ImapDialogueValues values = defaultValues();
    values.settings.markDeleted = 1;
    const std::vector<Message> slot = slotOf(2);
    const std::string run1 = internalDate("1", kSlot, "11") + body("1", slot[0].bytes) +
                             "* 1 FETCH (FLAGS (\\Deleted))\r\nA005 OK Store completed.\r\n" +
                             internalDate("2", kSlot, "12") + "A004 NO [SERVERBUG] Internal error\r\n";
    const Outcome first = playEverySplit(mailbox({{"INBOX", "1 2", run1}}), values);
    EXPECT_EQ(bodies(first), expected({11}));
    EXPECT_EQ(first.result, 1);

    const std::string run2 = internalDate("2", kSlot, "12") + body("2", slot[1].bytes) + "A005 OK Store completed.\r\n";
    const Outcome second = playEverySplit(mailbox({{"INBOX", "2", run2}}), values, first.state);
    EXPECT_EQ(bodies(second), expected({11, 12}));
    EXPECT_NE(std::find(second.sent.begin(), second.sent.end(), "A005 STORE 2 +FLAGS (\\Deleted)"), second.sent.end());
    EXPECT_EQ(second.result, 0);
}

TEST(ExactlyOnce, MessagesDeletedAndAddedBetweenRunsInOneSlot) {
    // Run 1: three messages of one slot. Before run 2 message 11 is deleted
    // and 14 arrives in the same slot: the numbers shift by one.
    const std::vector<Message> slot = slotOf(3);
    const Outcome first = playEverySplit(mailbox({{"INBOX", "1 2 3", transfer(slot)}}));
    ASSERT_EQ(first.result, 0);

    const std::string run2 = internalDate("1", kSlot, "12") + internalDate("2", kSlot, "13") +
                             internalDate("3", kSlot, "14") + body("3", message(14));
    const Outcome second = playEverySplit(mailbox({{"INBOX", "1 2 3", run2}}), defaultValues(), first.state);
    EXPECT_EQ(bodies(second), expected({11, 12, 13, 14}));
    EXPECT_EQ(second.bodyFetches(), 1);
    EXPECT_EQ(second.result, 0);
}

TEST(ExactlyOnce, FoldersSharingADirectoryKeepTheirMessagesApart) {
    // "Work" and "work" are one directory on Windows; "Trash" is mapped onto
    // the local name of the server folder "Deleted Items".
    for (const auto& [a, b] : {std::pair<std::string, std::string>{"Work", "work"}, {"Trash", "\"Deleted Items\""}}) {
        const std::string bName = b.front() == '"' ? b.substr(1, b.size() - 2) : b;
        const std::string run1 = mailbox({{a, "1", internalDate("1", kSlot, "11") + body("1", message(11))},
                                          {b, "1", internalDate("1", kSlot, "11") + body("1", message(21))}});
        const Outcome first = playEverySplit(run1);
        EXPECT_EQ(first.result, 0);
        EXPECT_EQ(bodies(first), expected({11, 21}));
        const std::string directory = first.files.back().directory;
        EXPECT_TRUE(loggedLine(first, "The MailBox '" + bName + "' is stored together with the MailBox '" + a +
                                          "' in " + directory))
            << directory;

        const std::string run2 = mailbox({{a, "1", internalDate("1", kSlot, "11")}, {b, "1", internalDate("1", kSlot, "11")}});
        const Outcome second = playEverySplit(run2, defaultValues(), first.state);
        EXPECT_EQ(second.bodyFetches(), 0);
        EXPECT_EQ(second.files.size(), 2u);
        EXPECT_EQ(second.result, 0);
    }
}

TEST(ExactlyOnce, LostRecordsOrANewUidValidityFallBackToComparingContents) {
    // Two messages of one slot, the second an exact copy of the first (one
    // message delivered twice).
    std::vector<Message> slot = slotOf(3);
    slot[1].bytes = slot[0].bytes;
    const std::string folder = transfer(slot);
    const Outcome first = playEverySplit(mailbox({{"INBOX", "1 2 3", folder}}));
    ASSERT_EQ(first.files.size(), 3u);

    StoreState lost = first.state;
    lost.records.clear();
    for (const auto& [state, validity] : {std::pair<StoreState, std::string>{lost, "1700000000"},
                                          {first.state, "1800000000"}}) {
        const Outcome second = playEverySplit(mailbox({{"INBOX", "1 2 3", folder, validity}}), defaultValues(), state);
        EXPECT_EQ(second.bodyFetches(), 3);  // over-fetched, never stored twice
        EXPECT_EQ(second.files, first.files);
        EXPECT_EQ(second.skips(), 3);
        EXPECT_EQ(second.result, 0);

        // The comparison left records: the next run fetches nothing.
        std::string dates;
        for (const Message& m : slot) dates += internalDate(m.number, m.date, m.uid);
        const Outcome third = playEverySplit(mailbox({{"INBOX", "1 2 3", dates, validity}}), defaultValues(), second.state);
        EXPECT_EQ(third.bodyFetches(), 0);
        EXPECT_EQ(third.skips(), 3);
    }

    // Without UIDs from the server nothing is recorded, and every message of
    // a slot with files is compared.
    std::string noUids;
    for (const Message& m : slot) {
        noUids += "* " + m.number + " FETCH (INTERNALDATE \"" + m.date + "\")\r\nI001 OK Fetch completed.\r\n" +
                  body(m.number, m.bytes);
    }
    const Outcome plain = playEverySplit(mailbox({{"INBOX", "1 2 3", noUids}}), defaultValues(), lost);
    EXPECT_EQ(plain.files, first.files);
    EXPECT_TRUE(plain.state.records.empty());
}

TEST(ExactlyOnce, ExpungeRenumbersTheMessagesStillToCome) {
    // Messages 1 to 4 (UIDs 11 to 14, separate slots), MARK_DELETED on.
    // - message 1 is expunged by another client after its body came: kept, not flagged;
    // - old message 3 (now 2) is expunged before the next date arrives: never fetched;
    // - old message 2 (now 1) is expunged while old message 4 (now 2) is being
    //   fetched: its body comes as message 1 and is flagged as 1.
    ImapDialogueValues values = defaultValues();
    values.settings.markDeleted = 1;
    const auto date = [](int second) { return "08-Mar-2006 09:15:" + std::to_string(10 + 2 * second) + " +0000"; };
    const std::string t = internalDate("1", date(1), "11") + "* 1 FETCH (BODY[] {" + std::to_string(message(11).size()) +
                          "}\r\n" + message(11) + ")\r\n* 1 EXPUNGE\r\nA004 OK Fetch completed.\r\n" +
                          "* 2 EXPUNGE\r\n" + internalDate("1", date(2), "12") + body("1", message(12)) +
                          "A005 OK Store completed.\r\n" + internalDate("2", date(4), "14") + "* 1 EXPUNGE\r\n" +
                          body("1", message(14)) + "A005 OK Store completed.\r\n";
    const Outcome out = playEverySplit(mailbox({{"INBOX", "1 2 3 4", t}}), values);
    EXPECT_EQ(bodies(out), expected({11, 12, 14}));
    Strings commands;
    for (const std::string& c : out.sent)
        if (c.starts_with("I001") || c.starts_with("A004") || c.starts_with("A005")) commands.push_back(c);
    EXPECT_EQ(commands, (Strings{"I001 FETCH 1 (INTERNALDATE UID)", "A004 FETCH 1 (BODY.PEEK[])",
                                 "I001 FETCH 1 (INTERNALDATE UID)", "A004 FETCH 1 (BODY.PEEK[])",
                                 "A005 STORE 1 +FLAGS (\\Deleted)", "I001 FETCH 2 (INTERNALDATE UID)",
                                 "A004 FETCH 2 (BODY.PEEK[])", "A005 STORE 1 +FLAGS (\\Deleted)"}));
    EXPECT_EQ(out.result, 0);

    // A message expunged before its date came is gone, not failed.
    const std::string gone = "* 1 EXPUNGE\r\nI001 OK Fetch completed.\r\n" + internalDate("1", date(2), "12") +
                             body("1", message(12));
    const Outcome second = playEverySplit(mailbox({{"INBOX", "1 2", gone}}));
    EXPECT_EQ(bodies(second), expected({12}));
    EXPECT_TRUE(loggedLine(second, "Message 1 was expunged on the server before it was copied"));
    EXPECT_EQ(second.result, 0);
}

TEST(ExactlyOnce, MessagesAnnouncedDuringTheTransferWaitForTheNextRun) {
    const std::string t = internalDate("1", kSlot, "11") + "* 3 EXISTS\r\n" + body("1", message(11)) +
                          internalDate("2", kSlot, "12") + body("2", message(12));
    const Outcome out = playEverySplit(mailbox({{"INBOX", "1 2", t}}));
    EXPECT_EQ(bodies(out), expected({11, 12}));
    EXPECT_TRUE(loggedLine(out, "New messages arrived in the MailBox 'INBOX' during the transfer; they are left for "
                                "the next run"));
    EXPECT_EQ(std::count_if(out.sent.begin(), out.sent.end(), [](auto& c) { return c.starts_with("I001 FETCH 3"); }), 0);
    EXPECT_EQ(out.result, 1);  // the account stays for the next run
}

TEST(ExactlyOnce, ARecordThatCannotBeWrittenCostsAComparisonNotACopy) {
    const std::vector<Message> slot = slotOf(2);
    const std::string folder = transfer(slot);
    const Outcome first =
        playEverySplit(mailbox({{"INBOX", "1 2", folder}}), defaultValues(), {}, [](FakeStore& s) { s.refuseRecords = true; });
    EXPECT_EQ(first.files.size(), 2u);
    EXPECT_TRUE(first.state.records.empty());
    EXPECT_TRUE(loggedLine(first, "Could not write the record file; the next run compares the message's contents instead"));
    EXPECT_EQ(first.result, 0);

    const Outcome second = playEverySplit(mailbox({{"INBOX", "1 2", folder}}), defaultValues(), first.state);
    EXPECT_EQ(second.files, first.files);
    EXPECT_EQ(second.skips(), 2);
}

}  // namespace
}  // namespace rvo

namespace rvo {
namespace {

// A marker whose size cannot be read, or a response that never ends, leaves
// nothing of what follows to the log or the store.
TEST(ImapProtocolErrors, UnreadableLiteralMarkersAndEndlessResponsesEndTheSession) {
    for (const std::string marker : {"{-5}", "{99999999999999999999}", "{}"}) {
        const std::string t = internalDate("1", kSlot, "11") + "* 1 FETCH (BODY[] " + marker +
                              "\r\nSecret: inside the message\r\nA004 OK FETCH done\r\n";
        const Outcome out = playEverySplit(mailbox({{"INBOX", "1", t}}));
        EXPECT_TRUE(out.files.empty());
        EXPECT_FALSE(out.fileOpen);
        EXPECT_TRUE(out.closed);
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(out.logged.back(), "The server sent a literal marker that cannot be read: " + marker +
                                         "; the session ends");
        for (const std::string& line : out.logged) EXPECT_EQ(line.find("Secret"), std::string::npos) << line;
    }

    std::string endless = kGreeting + kLoginOk + "* LIST () \"/\" {0}\r\n";
    for (int i = 0; i < 10001; ++i) endless += " {0}\r\n";
    ImapDialogueValues values = defaultValues();
    const Outcome out = play(endless, values);
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.logged.back().rfind("The server's response grows without end", 0), 0u) << out.logged.back();
}

TEST(ImapSummary, CountsAndTheReasonTheAccountIsLeft) {
    std::vector<Message> slot = slotOf(3);
    std::string t = internalDate("1", kSlot, "11") + "A004 NO [SERVERBUG] Internal error\r\n" +
                    internalDate("2", kSlot, "12") + body("2", slot[1].bytes) + internalDate("3", kSlot, "13") +
                    body("3", slot[2].bytes);
    FakeStore store;
    {
        Harness harness(defaultValues(), store);
        harness.feed(mailbox({{"INBOX", "1 2 3", t}}));
        EXPECT_EQ(harness.dialogue().summary(),
                  "Messages stored: 2, recognised as stored: 0, failed: 1; the account is left for the next run: "
                  "messages could not be copied");
    }
    t = internalDate("1", kSlot, "11") + body("1", slot[0].bytes) + internalDate("2", kSlot, "12") +
        internalDate("3", kSlot, "13");
    Harness again(defaultValues(), store);
    again.feed(mailbox({{"INBOX", "1 2 3", t}}));
    EXPECT_EQ(again.dialogue().summary(),
              "Messages stored: 1, recognised as stored: 2, failed: 0; the account is migrated");
}

TEST(ExactlyOnce, AMailboxFileServerThatRenumberedTheFolderRewritesOnlyItsBookkeeping) {
    // Run 1 stores A (UID 1) and B (UID 2) of one slot, each with the
    // headers a mailbox-file server keeps in it. Then another client expunges
    // A; the server gives the folder a new UIDVALIDITY and rewrites B's
    // X-IMAPbase, X-UID and Status. No record names B under the new
    // UIDVALIDITY, so it is fetched and compared: it is the stored B.
    const std::string a = "X-IMAPbase: 1700000000 0000000003\r\nX-UID: 1\r\nStatus: RO\r\nSubject: A\r\n\r\nbody A\r\n";
    const std::string b = "X-IMAPbase: 1700000000 0000000003\r\nX-UID: 2\r\nStatus: RO\r\nSubject: B\r\n\r\nbody B\r\n";
    const Outcome first = playEverySplit(mailbox({{"INBOX", "1 2",
                                                   internalDate("1", kSlot, "1") + body("1", a) +
                                                       internalDate("2", kSlot, "2") + body("2", b)}}));
    ASSERT_EQ(first.files.size(), 2u);

    const std::string rewritten =
        "X-IMAPbase: 1700000777 0000000002\r\nX-UID: 1\r\nStatus: O\r\nX-Status: \r\nSubject: B\r\n\r\nbody B\r\n";
    const auto again = [&](const std::string& bytes) {
        Folder folder{"INBOX", "1", internalDate("1", kSlot, "1") + body("1", bytes)};
        folder.uidValidity = "1700000777";
        return playEverySplit(mailbox({folder}), defaultValues(), first.state);
    };
    const Outcome second = again(rewritten);
    EXPECT_EQ(second.files.size(), 2u);
    EXPECT_EQ(second.skips(), 1);
    EXPECT_EQ(second.result, 0);
    // It is recorded under its new identity: a third run needs no comparison.
    Folder unchanged{"INBOX", "1", internalDate("1", kSlot, "1")};
    unchanged.uidValidity = "1700000777";
    const Outcome third = playEverySplit(mailbox({unchanged}), defaultValues(), second.state);
    EXPECT_EQ(third.bodyFetches(), 0);
    EXPECT_EQ(third.comparisons, 0);
    EXPECT_EQ(third.files.size(), 2u);

    // Any other change is a different message, stored beside the others.
    const std::string otherHeader = rewritten.substr(0, rewritten.find("Subject")) + "X-Spam: yes\r\nSubject: B\r\n\r\nbody B\r\n";
    const std::string otherBody = rewritten.substr(0, rewritten.find("\r\n\r\n") + 4) + "body B\r\nStatus: RO\r\n";
    for (const std::string& bytes : {otherHeader, otherBody}) {
        const Outcome stored = again(bytes);
        EXPECT_EQ(stored.files.size(), 3u) << bytes;
        EXPECT_EQ(stored.skips(), 0);
    }
}

}  // namespace
}  // namespace rvo
