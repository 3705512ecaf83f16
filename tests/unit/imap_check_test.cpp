// The IMAP check of an account: counts only, nothing changed on the server
// or in the store. Every transcript is also fed split at each byte offset
// and byte by byte.
#include "tests/unit/imap_transcripts.h"

#include "engine/core/store/message_records.h"

namespace rvo {
namespace {

using namespace rvo::test;

ImapDialogueValues checking(int depth, std::size_t perListing = 300) {
    ImapDialogueValues values = defaultValues();
    values.settings.checkOnly = true;
    values.settings.pipelineDepth = depth;
    values.maxUidsPerListing = perListing;
    return values;
}

std::string examineOk(int exists) {
    return "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n* " + std::to_string(exists) +
           " EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY 1700000000] UIDs valid\r\n"
           "A002 OK [READ-ONLY] Examine completed (0.001 + 0.000 secs).\r\n";
}

std::string sizes(const std::string& tag, const std::vector<std::pair<int, int>>& uidAndSize) {
    std::string out;
    int number = 0;
    for (const auto& [uid, size] : uidAndSize)
        out += "* " + std::to_string(++number) + " FETCH (UID " + std::to_string(uid) + " RFC822.SIZE " +
               std::to_string(size) + ")\r\n";
    return out + tag + " OK Fetch completed (0.001 + 0.000 secs).\r\n";
}

// INBOX holds UIDs 1001 and 1002 as stored: both files present, both recorded.
StoreState inboxWithTwoStored() {
    StoreState state;
    std::string records = recordFileHeader();
    for (const std::uint32_t uid : {1001u, 1002u}) {
        StoredFile file{"M\\dom\\alice\\inbox", static_cast<int>(uid - 1000), "12345678", "x\r\n", 0, {}};
        file.name = messageFileName(CivilTime{2026, 1, 1, 0, 0, 0}, ++state.named, file.dateHex);
        records += formatRecord(MessageRecord{MessageIdentity{"INBOX", 1700000000, uid}, file.name});
        state.files.push_back(file);
    }
    state.records[folded("M\\dom\\alice\\inbox")] = records;
    return state;
}

const std::string kWork = list("\\HasNoChildren", "\"/\"", "Work");
const std::string kJunk = list("\\HasNoChildren", "\"/\"", "Junk");
const std::string kSearchCompleted = "A003 OK Search completed (0.001 + 0.000 secs).\r\n";

void expectNothingWritten(const Outcome& out, const StoreState& before) {
    EXPECT_TRUE(out.directories.empty());
    EXPECT_EQ(out.files, before.files);
    EXPECT_EQ(out.state.records, before.records);
    EXPECT_FALSE(out.fileOpen);
    for (const std::string& command : out.sent) {
        EXPECT_EQ(command.find("BODY"), std::string::npos) << command;
        EXPECT_EQ(command.find("STORE"), std::string::npos) << command;
        EXPECT_EQ(command.find(" SELECT "), std::string::npos) << command;
    }
}

TEST(ImapCheck, OneCommandAtATimeCountsByUidAgainstTheRecords) {
    ImapDialogueValues values = checking(1, 2);
    values.settings.excludedFolders = {"Junk"};
    const std::string server = kGreeting + kLoginOk + kInbox + kWork + kJunk + kListOk + examineOk(5) +
                               "* SEARCH 1001 1002 1003 1004 1005\r\n" + kSearchCompleted +
                               sizes("I001", {{1003, 100}, {1004, 2000}}) + sizes("I001", {{1005, 30}}) +
                               examineOk(0) + "* SEARCH\r\n" + kSearchCompleted + kLogoutOk;
    const StoreState before = inboxWithTwoStored();
    const Outcome out = playEverySplit(server, values, before);

    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 EXAMINE \"INBOX\"",
                                 "A003 UID SEARCH NOT DELETED", "I001 UID FETCH 1003:1004 (RFC822.SIZE)",
                                 "I001 UID FETCH 1005 (RFC822.SIZE)", "A002 EXAMINE \"Work\"",
                                 "A003 UID SEARCH NOT DELETED", "A006 LOGOUT"}));
    const Strings& log = out.logged;
    EXPECT_NE(std::find(log.begin(), log.end(), "Check of folder INBOX: 3 messages (2130 bytes) to copy, 2 already stored"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Check of folder Work: 0 messages (0 bytes) to copy, 0 already stored"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Skipping the MailBox 'Junk'"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Check of the account: 2 folders, 3 messages (2130 bytes) to copy, 2 already stored"),
              log.end());
    expectNothingWritten(out, before);
    EXPECT_EQ(out.result, 0);

    FakeStore store;
    store.state = before;
    Harness harness(values, store);
    harness.feed(server);
    const CheckCounts& counts = harness.dialogue().checkCounts();
    EXPECT_EQ(counts.folders, 2u);
    EXPECT_EQ(counts.messages, 3u);
    EXPECT_EQ(counts.bytes, 2130u);
    EXPECT_EQ(counts.alreadyStored, 2u);
}

TEST(ImapCheck, PipelinedListingsGoOutTogetherAndRepeatedOrUnaskedSizesAddNothing) {
    ImapDialogueValues values = checking(4, 2);
    values.settings.migrateDeleted = 1;
    // A stored file without its record, or a record without its file, is no
    // stored message: the migration would fetch it and compare.
    StoreState before = inboxWithTwoStored();
    before.files.pop_back();
    const std::string server = kGreeting + kLoginOk + kInbox + kListOk + examineOk(5) +
                               "* SEARCH 1005 1001 1002 1003 1004\r\n" + kSearchCompleted +
                               "* 2 FETCH (UID 1002 RFC822.SIZE 10)\r\n* 2 FETCH (UID 1002 RFC822.SIZE 10)\r\n"
                               "* 1 FETCH (UID 1001 RFC822.SIZE 99)\r\n* 2 FETCH (FLAGS (\\Seen))\r\n"
                               "T0001 OK Fetch completed.\r\n" +
                               sizes("T0002", {{1003, 20}, {1004, 30}, {1005, 40}}) + kLogoutOk;
    const Outcome out = playEverySplit(server, values, before);

    // Both listings are in flight at once, before any answer.
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 EXAMINE \"INBOX\"",
                                 "A003 UID SEARCH ALL", "T0001 UID FETCH 1002:1003 (RFC822.SIZE)",
                                 "T0002 UID FETCH 1004:1005 (RFC822.SIZE)", "A006 LOGOUT"}));
    const Strings& log = out.logged;
    // 1002 (no file), 1003, 1004, 1005 to copy; 1001 stored; 1002 counted once.
    EXPECT_NE(std::find(log.begin(), log.end(), "Check of folder INBOX: 4 messages (100 bytes) to copy, 1 already stored"),
              log.end());
    expectNothingWritten(out, before);
    EXPECT_EQ(out.result, 0);
}

TEST(ImapCheck, AFolderThatCannotBeExaminedIsLoggedAndTheCheckGoesOn) {
    const std::string server = kGreeting + kLoginOk + list("\\HasNoChildren", "\"/\"", "Gone") + kInbox + kListOk +
                               "A002 NO Mailbox doesn't exist: Gone (0.001 + 0.000 secs).\r\n" + examineOk(1) +
                               "* SEARCH 7\r\n" + kSearchCompleted + "A003 BAD never sent\r\n";
    // A completion of no command in flight ends the check unfinished.
    const Outcome broken = playEverySplit(server, checking(1));
    EXPECT_EQ(broken.result, 1);

    const std::string fine = kGreeting + kLoginOk + list("\\HasNoChildren", "\"/\"", "Gone") + kInbox + kListOk +
                             "A002 NO Mailbox doesn't exist: Gone (0.001 + 0.000 secs).\r\n" + examineOk(1) +
                             "* SEARCH 7\r\n" + kSearchCompleted + sizes("I001", {{7, 512}}) + kLogoutOk;
    const Outcome out = playEverySplit(fine, checking(1));
    const Strings& log = out.logged;
    EXPECT_NE(std::find(log.begin(), log.end(), "The MailBox 'Gone' could not be examined; it is not counted"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Check of the account: 1 folders, 1 messages (512 bytes) to copy, 0 already stored"),
              log.end());
    EXPECT_EQ(out.result, 0);
    expectNothingWritten(out, {});
}

TEST(ImapCheck, ARefusedLoginIsNoCompletedCheck) {
    const Outcome out =
        playEverySplit(kGreeting + "A000 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n" + kLogoutOk, checking(4));
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A006 LOGOUT"}));
    EXPECT_EQ(out.result, 1);
}

}  // namespace
}  // namespace rvo
