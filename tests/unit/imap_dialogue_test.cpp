// The IMAP dialogue driven by scripted server transcripts. Every transcript
// is also fed split at each byte offset and byte by byte: no outcome may
// depend on how the bytes arrive.
#include "tests/unit/imap_transcripts.h"

namespace rvo {
namespace {

using namespace rvo::test;

TEST(ImapDialogue, MigratesAFolderWithDovecotCompletions) {
    const std::string server =
        oneFolder(kInbox, "1 2",
                  internalDate("1", "17-Jul-1996 02:44:25 -0700") + body("1", kMessage1) +
                      internalDate("2", "08-Mar-2006 09:15:42 +0100") + body("2", kMessage2));
    const Outcome out = playEverySplit(server);

    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 SELECT \"INBOX\"",
                                 "A003 SEARCH NOT DELETED", "A001 LIST \"\" \"*\"", "A002 SELECT \"INBOX\"",
                                 "A003 SEARCH NOT DELETED", "I001 FETCH 1 (INTERNALDATE UID)", "A004 FETCH 1 (BODY.PEEK[])",
                                 "I001 FETCH 2 (INTERNALDATE UID)", "A004 FETCH 2 (BODY.PEEK[])", "A006 LOGOUT"}));
    const FileTime t1 = at(1996, 7, 17, 2, 44, 25);
    const FileTime t2 = at(2006, 3, 8, 9, 15, 42);
    ASSERT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.files[0], (StoredFile{"M\\dom\\alice\\inbox", 1, dateHex(t1), header(t1) + kMessage1 + "\r\n", t1, {}}));
    EXPECT_EQ(out.files[1], (StoredFile{"M\\dom\\alice\\inbox", 2, dateHex(t2), header(t2) + kMessage2 + "\r\n", t2, {}}));
    EXPECT_EQ(out.directories, std::set<std::string>{"M\\dom\\alice\\inbox"});
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.pauses, 1);

    const std::string banner(kBanner);
    EXPECT_EQ(out.shown,
              (Strings{"Connected", "Sending Login information", "Login succeeded",
                       "Please wait while we get total number of emails to download", "Retrieving List of Folder Names",
                       banner, "INBOX", banner, "Selecting the MailBox 'INBOX'", "SEARCHING MAILBOX INBOX",
                       "FETCHING EMAIL 1", "FETCHING EMAIL 2", "Logging out", "Disconnected"}));
    EXPECT_EQ(out.logged,
              (Strings{kGreeting.substr(0, kGreeting.size() - 2), "A000 LOGIN alice **********", "A001 LIST \"\" \"*\"",
                       "A002 SELECT \"INBOX\"", "A003 SEARCH NOT DELETED", "A002 SELECT \"INBOX\"",
                       "A003 SEARCH NOT DELETED", "A004 FETCH 1 (BODY.PEEK[])", "A004 FETCH 2 (BODY.PEEK[])",
                       "A006 LOGOUT", "* BYE Logging out", "A006 OK Logout completed (0.001 + 0.000 secs)."}));
    EXPECT_EQ(out.captions.front(), "Processing [inbox]\nMessage [1] of [2] for this User");
    EXPECT_EQ(out.captions.back(), "Processing [inbox]\nMessage [2] of [2] for this User");
}

TEST(ImapDialogue, OlderStyleCompletionsAreAcceptedAlike) {
    std::string server = oneFolder(kInbox, "1", internalDate("1", "17-Jul-1996 02:44:25 -0700") + body("1", kMessage1));
    for (auto [from, to] : {std::pair<std::string, std::string>{kLoginOk, "A000 OK LOGIN completed\r\n"},
                            {kListOk, "A001 OK LIST completed\r\n"},
                            {"A002 OK [READ-WRITE] Select completed (0.002 + 0.000 secs).", "A002 OK [READ-ONLY] SELECT completed"},
                            {"A003 OK Search completed (0.001 + 0.000 secs).", "A003 OK SEARCH completed"},
                            {"A006 OK Logout completed (0.001 + 0.000 secs).", "A006 OK LOGOUT completed"}}) {
        for (std::size_t at = server.find(from); at != std::string::npos; at = server.find(from, at + to.size()))
            server.replace(at, from.size(), to);
    }
    const Outcome out = playEverySplit(server);
    EXPECT_EQ(out.result, 0);
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(out.sent.back(), "A006 LOGOUT");
}

TEST(ImapDialogue, RefusedLoginOrListLogsOutWithResultOne) {
    const std::string refused = "A000 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n";
    Outcome out = playEverySplit(kGreeting + refused + kLogoutOk);
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A006 LOGOUT"}));
    EXPECT_NE(std::find(out.logged.begin(), out.logged.end(), refused.substr(0, refused.size() - 2)), out.logged.end());
    EXPECT_EQ(out.pauses, 1);  // LOGOUT was acknowledged, yet nothing was migrated
    EXPECT_EQ(out.result, 1);

    out = playEverySplit(kGreeting + kLoginOk + "A001 BAD Error in IMAP command LIST\r\n" + kLogoutOk);
    EXPECT_EQ(out.sent.back(), "A006 LOGOUT");
    EXPECT_EQ(out.result, 1);

    // A greeting other than OK, and a LOGOUT refused: the connection is closed.
    out = playEverySplit("* BYE Too many connections\r\nA006 BAD no\r\n");
    EXPECT_EQ(out.sent, Strings{"A006 LOGOUT"});
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(out.result, 1);
}

TEST(ImapDialogue, LoginArgumentsAreQuotedOrRefused) {
    ImapDialogueValues values = defaultValues();
    values.account.password = "p\"a ss\\";
    Outcome out = playEverySplit(kGreeting, values);
    EXPECT_EQ(out.sent, Strings{"A000 LOGIN alice \"p\\\"a ss\\\\\""});
    EXPECT_EQ(out.logged.back(), "A000 LOGIN alice **********");

    values.account.password = "x\r\nA001 DELETE INBOX";
    out = playEverySplit(kGreeting, values);
    EXPECT_EQ(out.sent, Strings{"A006 LOGOUT"});
    for (const std::string& line : out.logged) EXPECT_EQ(line.find("DELETE"), std::string::npos);
}

TEST(ImapDialogue, MessageBytesAreKeptAndResponseLikeLinesStayInTheBody) {
    // 8-bit bytes and tabs before line ends, a bare LF, lines a server would
    // answer with, a last line of ")" and no final line end.
    const std::string injected = "Subject: caf\xC3\xA9\t \r\n\r\nA004 OK FETCH completed\r\n* 1 FETCH (BODY[] {5}\r\n"
                                 "I001 OK\r\nLatin \xE9\xA0\r\nbare\nA006 OK LOGOUT\r\n)";
    const std::string flagsAfter = "Subject: x\r\n\r\nlast line";
    const std::string emptyBody;
    const std::string server = oneFolder(
        kInbox, "1 2 3",
        internalDate("1", "01-Jan-2005 10:00:00 +0000") + body("1", injected) +
            internalDate("2", "01-Jan-2005 10:00:10 +0000") + body("2", flagsAfter, " FLAGS (\\Seen \\Recent))") +
            internalDate("3", "01-Jan-2005 10:00:20 +0000") + body("3", emptyBody));
    const Outcome out = playEverySplit(server);
    ASSERT_EQ(out.files.size(), 3u);
    const std::string injectedInFile = "Subject: caf\xC3\xA9\t \r\n\r\nA004 OK FETCH completed\r\n* 1 FETCH (BODY[] {5}\r\n"
                                       "I001 OK\r\nLatin \xE9\xA0\r\nbare\r\nA006 OK LOGOUT\r\n)\r\n";
    EXPECT_EQ(out.files[0].bytes, header(at(2005, 1, 1, 10, 0, 0)) + injectedInFile);
    EXPECT_EQ(out.files[1].bytes, header(at(2005, 1, 1, 10, 0, 10)) + flagsAfter + "\r\n");
    EXPECT_EQ(out.files[2].bytes, header(at(2005, 1, 1, 10, 0, 20)) + "\r\n");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.sent.back(), "A006 LOGOUT");
}

TEST(ImapDialogue, LargeBodyStreamsWithoutBeingHeld) {
    std::string big;
    while (big.size() < 3 * 1024 * 1024) big += "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
    const std::string server =
        oneFolder(kInbox, "1", internalDate("1", "01-Jan-2005 10:00:00 +0000") + body("1", big));
    FakeStore store;
    Harness harness(defaultValues(), store);
    for (std::size_t at = 0; at < server.size(); at += 2047) harness.feed(std::string_view(server).substr(at, 2047));
    const Outcome out = harness.outcome();
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(out.files[0].bytes.size(), header(at(2005, 1, 1, 10, 0, 0)).size() + big.size() + 2);
    EXPECT_LE(store.largestWrite, 2047u);
    EXPECT_EQ(out.result, 0);
}

TEST(ImapDialogue, ListVariantsGiveTheFoldersToSelectAndTheirDirectories) {
    const std::string lists = list("\\HasNoChildren", "\"/\"", "\"INBOX\"") +
                              list("\\Noselect \\HasChildren", "\"/\"", "Old") +
                              list("\\HasChildren \\Noselect", "\"/\"", "\"Older\"") +
                              list("\\HasChildren", "\"/\"", "Work") +
                              list("\\HasNoChildren", "\"/\"", "Work/2005") +
                              list("", "NIL", "Flat") +
                              list("", "\".\"", "\"INBOX.a/b\"") +
                              list("", "\"/\"", "\"Back\\\\slash\"") +
                              list("", "\"/\"", "\"Say \\\"hi\\\"\"") +
                              "* LIST (\\HasNoChildren) \"/\" {9}\r\nLit {3} x\r\n" +
                              "* OK [ALERT] not a folder {4}\r\n* 7 EXISTS\r\n";
    std::string server = kGreeting + kLoginOk + lists + kListOk;
    for (int i = 0; i < 7; ++i) server += selectOk(0) + searchResult("");
    server += kLogoutOk;
    ImapDialogueValues values = defaultValues();
    values.settings.createEmpty = 1;
    const Outcome out = playEverySplit(server, values);
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 SELECT \"INBOX\"",
                                 "A003 SEARCH NOT DELETED", "A002 SELECT \"Work\"", "A003 SEARCH NOT DELETED",
                                 "A002 SELECT \"Work/2005\"", "A003 SEARCH NOT DELETED", "A002 SELECT \"Flat\"",
                                 "A003 SEARCH NOT DELETED", "A002 SELECT \"INBOX.a/b\"", "A003 SEARCH NOT DELETED",
                                 "A002 SELECT \"Back\\\\slash\"", "A003 SEARCH NOT DELETED",
                                 "A002 SELECT \"Lit {3} x\"", "A003 SEARCH NOT DELETED", "A006 LOGOUT"}));
    const std::string user = "M\\dom\\alice\\";
    EXPECT_EQ(out.directories, (std::set<std::string>{user + "inbox", user + "Work", user + "Work/2005", user + "Flat",
                                                      user + "INBOX.ab", user + "Back\\slash", user + "Lit {3} x"}));
    // A name Windows cannot hold is logged and leaves the result at 1.
    EXPECT_NE(std::find(out.logged.begin(), out.logged.end(),
                        "The MailBox 'Say \"hi\"' cannot be stored: it holds the character '\"', which Windows does "
                        "not allow in file names"),
              out.logged.end());
    EXPECT_EQ(out.result, 1);
}

TEST(ImapDialogue, SearchResultsDriveTheFetchesAndEmptyFolders) {
    ImapDialogueValues values = defaultValues();
    std::string transfer;
    for (const char* id : {"3", "7", "12"})
        transfer += internalDate(id, "0" + std::string(id).substr(0, 1) + "-Feb-2001 08:00:00 +0000") +
                    body(id, std::string("m") + id + "\r\n");
    const std::string lists = kInbox + list("\\HasNoChildren", "\"/\"", "Empty");
    const std::string server = kGreeting + kLoginOk + lists + kListOk + selectOk(12) + searchResult("3 7 12 x") +
                               selectOk(0) + searchResult("") + lists + kListOk + selectOk(12) +
                               searchResult("3 7 12 x") + transfer + selectOk(0) + searchResult("") + kLogoutOk;
    Outcome out = playEverySplit(server, values);
    Strings fetches;
    for (const std::string& s : out.sent)
        if (s.starts_with("I001")) fetches.push_back(s);
    EXPECT_EQ(fetches, (Strings{"I001 FETCH 3 (INTERNALDATE UID)", "I001 FETCH 7 (INTERNALDATE UID)", "I001 FETCH 12 (INTERNALDATE UID)"}));
    EXPECT_EQ(out.files.size(), 3u);
    EXPECT_EQ(std::count(out.logged.begin(), out.logged.end(),
                         "Ignoring what is not a message number in the SEARCH result: x"),
              2);
    EXPECT_EQ(out.directories, std::set<std::string>{"M\\dom\\alice\\inbox"});
    EXPECT_EQ(out.result, 0);

    values.settings.createEmpty = 1;
    values.settings.migrateDeleted = 1;
    out = playEverySplit(server, values);
    EXPECT_EQ(out.directories, (std::set<std::string>{"M\\dom\\alice\\inbox", "M\\dom\\alice\\Empty"}));
    EXPECT_NE(std::find(out.sent.begin(), out.sent.end(), "A003 SEARCH ALL"), out.sent.end());
}

TEST(ImapDialogue, MessagesOfOneTwoSecondSlotAreAllStoredOnceOnly) {
    const std::string transfer = internalDate("1", "08-Mar-2006 09:15:42 +0000") + body("1", kMessage1) +
                                 internalDate("2", "08-Mar-2006 09:15:43 +0000") + body("2", kMessage2);
    const std::string firstRun = oneFolder(kInbox, "1 2", transfer);
    const Outcome first = playEverySplit(firstRun);
    ASSERT_EQ(first.files.size(), 2u);
    EXPECT_EQ(first.files[0].dateHex, first.files[1].dateHex);

    // The next run finds both stored and fetches no body.
    const std::string again = oneFolder(kInbox, "1 2",
                                        internalDate("1", "08-Mar-2006 09:15:42 +0000") +
                                            internalDate("2", "08-Mar-2006 09:15:43 +0000"));
    const Outcome second = playEverySplit(again, defaultValues(), first.state);
    EXPECT_EQ(second.files.size(), 2u);
    EXPECT_EQ(second.bodyFetches(), 0);
    EXPECT_EQ(std::count(second.logged.begin(), second.logged.end(), "Skipping message #1"), 1);
    EXPECT_EQ(std::count(second.logged.begin(), second.logged.end(), "Skipping message #2"), 1);
    EXPECT_EQ(second.result, 0);

    // With only one of the slot stored, the second message still comes.
    const std::string rest = oneFolder(kInbox, "1 2",
                                       internalDate("1", "08-Mar-2006 09:15:42 +0000") +
                                           internalDate("2", "08-Mar-2006 09:15:43 +0000") + body("2", kMessage2));
    StoreState onlyFirst = first.state;
    onlyFirst.files.pop_back();
    const Outcome third = playEverySplit(rest, defaultValues(), onlyFirst);
    ASSERT_EQ(third.files.size(), 2u);
    EXPECT_EQ(third.files[1].bytes, first.files[1].bytes);
    EXPECT_EQ(third.comparisons, 0);  // the remaining file belongs to message 1
}

TEST(ImapDialogue, DatesWithoutUsableValueGetOneFixedTime) {
    const std::string server = oneFolder(kInbox, "1 2",
                                         internalDate("1", "17-JUL-1996 02:44:25 -0700") + body("1", kMessage1) +
                                             internalDate("2", "31-Foo-1996 02:44:25 -0700") + body("2", kMessage2));
    ImapDialogueValues values = defaultValues();
    values.timeZoneBiasMinutes = -90;  // one hour east, truncated
    const Outcome out = playEverySplit(server, values);
    ASSERT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.files[0].time, at(1996, 7, 17, 1, 44, 25));
    EXPECT_EQ(out.files[1].time, at(1980, 1, 1, 0, 0, 0));
    EXPECT_EQ(out.files[1].dateHex, "210000");
    EXPECT_NE(std::find(out.logged.begin(), out.logged.end(),
                        "Message 2 has no usable INTERNALDATE; it is dated 01/01/1980 00:00:00"),
              out.logged.end());
}

TEST(ImapDialogue, RefusalsAreHandledAtOnce) {
    const std::string lists = kInbox + list("\\HasNoChildren", "\"/\"", "Work");
    const std::string transferInbox = internalDate("1", "01-Jan-2005 10:00:00 +0000") +
                                      "A004 NO [SERVERBUG] Internal error\r\n" +
                                      internalDate("2", "01-Jan-2005 10:00:04 +0000") + body("2", kMessage2) +
                                      "A005 NO [CANNOT] flags refused\r\n" +
                                      "I001 BAD Error in IMAP command\r\n";
    const std::string server = kGreeting + kLoginOk + lists + kListOk + selectOk(3) + searchResult("1 2 3") +
                               "A002 NO [NONEXISTENT] Mailbox doesn't exist: Work\r\n" + lists + kListOk + selectOk(3) +
                               searchResult("1 2 3") + transferInbox + selectOk(1) +
                               "A003 BAD Error in IMAP command SEARCH\r\n" + kLogoutOk;
    ImapDialogueValues values = defaultValues();
    values.settings.markDeleted = 1;
    const Outcome out = playEverySplit(server, values);
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 SELECT \"INBOX\"",
                                 "A003 SEARCH NOT DELETED", "A002 SELECT \"Work\"", "A001 LIST \"\" \"*\"",
                                 "A002 SELECT \"INBOX\"", "A003 SEARCH NOT DELETED", "I001 FETCH 1 (INTERNALDATE UID)",
                                 "A004 FETCH 1 (BODY.PEEK[])", "I001 FETCH 2 (INTERNALDATE UID)",
                                 "A004 FETCH 2 (BODY.PEEK[])", "A005 STORE 2 +FLAGS (\\Deleted)",
                                 "I001 FETCH 3 (INTERNALDATE UID)", "A002 SELECT \"Work\"", "A003 SEARCH NOT DELETED",
                                 "A006 LOGOUT"}));
    // The refused body left no file; the other one is stored.
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(out.files[0].bytes, header(at(2005, 1, 1, 10, 0, 4)) + kMessage2 + "\r\n");
    EXPECT_FALSE(out.fileOpen);
    for (const char* refusal : {"A002 NO [NONEXISTENT] Mailbox doesn't exist: Work", "A004 NO [SERVERBUG] Internal error",
                                "A005 NO [CANNOT] flags refused", "I001 BAD Error in IMAP command",
                                "A003 BAD Error in IMAP command SEARCH"}) {
        EXPECT_NE(std::find(out.logged.begin(), out.logged.end(), refusal), out.logged.end()) << refusal;
    }
    EXPECT_EQ(out.result, 1);
}

TEST(ImapDialogue, MarkDeletedFlagsOnlyStoredMessages) {
    const std::string server =
        oneFolder(kInbox, "1", internalDate("1", "01-Jan-2005 10:00:00 +0000") + body("1", kMessage1) +
                                   "* 1 FETCH (FLAGS (\\Deleted))\r\nA005 OK Store completed.\r\n");
    ImapDialogueValues values = defaultValues();
    values.settings.markDeleted = 1;
    Outcome out = playEverySplit(server, values);
    EXPECT_EQ(out.sent[out.sent.size() - 2], "A005 STORE 1 +FLAGS (\\Deleted)");
    EXPECT_EQ(out.result, 0);

    // A message already stored is neither fetched nor flagged again.
    const std::string again = oneFolder(kInbox, "1", internalDate("1", "01-Jan-2005 10:00:00 +0000"));
    out = playEverySplit(again, values, out.state);
    EXPECT_EQ(std::count_if(out.sent.begin(), out.sent.end(), [](auto& s) { return s.starts_with("A005"); }), 0);
}

TEST(ImapDialogue, AnInterruptedBodyLeavesNothingStored) {
    const std::string server = oneFolder(kInbox, "1", internalDate("1", "01-Jan-2005 10:00:00 +0000") + body("1", kMessage1));
    const std::string cut = server.substr(0, server.find("Hello"));
    FakeStore store;
    {
        Harness harness(defaultValues(), store);
        harness.feed(cut);
        EXPECT_TRUE(store.open);
        harness.dialogue().abandon();
        EXPECT_EQ(harness.dialogue().result(), 1);
    }
    EXPECT_FALSE(store.open);
    EXPECT_TRUE(store.state.files.empty());
    EXPECT_EQ(store.abandoned, 1);
}

TEST(ImapDialogue, FolderThatCannotBeCreatedIsSkippedWithResultOne) {
    const std::string lists = list("", "\"/\"", "Locked") + kInbox;
    const std::string server = kGreeting + kLoginOk + lists + kListOk + selectOk(1) + searchResult("1") + selectOk(1) +
                               searchResult("1") + lists + kListOk + selectOk(1) + searchResult("1") + selectOk(1) +
                               searchResult("1") + internalDate("1", "01-Jan-2005 10:00:00 +0000") +
                               body("1", kMessage1) + kLogoutOk;
    const Outcome out = playEverySplit(server);
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(out.files[0].directory, "M\\dom\\alice\\inbox");
    EXPECT_EQ(std::count(out.logged.begin(), out.logged.end(), "Could not create directory M\\dom\\alice\\Locked"), 2);
    EXPECT_EQ(out.result, 1);
}

// How the session ended, as the dialogue tells it: the first decisive cause,
// the server's last refusal line (for recognising a throttling answer), and
// the counts and bytes of what it stored.
TEST(ImapEnding, ACompletedWalkCountsItsMessagesAndTheBytesOfTheirFiles) {
    const std::string server =
        oneFolder(kInbox, "1 2",
                  internalDate("1", "17-Jul-1996 02:44:25 -0700") + body("1", kMessage1) +
                      internalDate("2", "08-Mar-2006 09:15:42 +0100") + body("2", kMessage2));
    const Outcome out = playEverySplit(server);
    ASSERT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.ending.end, SessionEnd::Completed);
    EXPECT_EQ(out.ending.stored, 2u);
    EXPECT_EQ(out.ending.recognised, 0u);
    EXPECT_EQ(out.ending.failed, 0u);
    EXPECT_EQ(out.ending.bytesStored, out.files[0].bytes.size() + out.files[1].bytes.size());
    EXPECT_TRUE(out.ending.reason.empty());
    // The BYE that answers LOGOUT is no refusal.
    EXPECT_TRUE(out.ending.lastRefusal.empty());

    // A second run recognises both and stores nothing.
    const Outcome again = play(oneFolder(kInbox, "1 2",
                                         internalDate("1", "17-Jul-1996 02:44:25 -0700") +
                                             internalDate("2", "08-Mar-2006 09:15:42 +0100")),
                               defaultValues(), {}, out.state);
    EXPECT_EQ(again.ending.end, SessionEnd::Completed);
    EXPECT_EQ(again.ending.recognised, 2u);
    EXPECT_EQ(again.ending.stored, 0u);
    EXPECT_EQ(again.ending.bytesStored, 0u);
}

TEST(ImapEnding, ARefusedLoginKeepsTheServersLineWhateverItsCode) {
    for (const std::string refusal : {"A000 NO [AUTHENTICATIONFAILED] Authentication failed.",
                                      "A000 NO [UNAVAILABLE] Temporary authentication failure"}) {
        const Outcome out = playEverySplit(kGreeting + refusal + "\r\n" + kLogoutOk);
        EXPECT_EQ(out.ending.end, SessionEnd::LoginRefused);
        // The controller reads "[UNAVAILABLE]" here and tries again later.
        EXPECT_EQ(out.ending.lastRefusal, refusal);
        EXPECT_EQ(out.ending.reason, "the server refused the sign-in: " + refusal);
    }
}

TEST(ImapEnding, ARefusalLaterInTheWalkIsAServerErrorWithItsLineKept) {
    const std::string throttled = "A004 NO [THROTTLED] Too many commands";
    const std::string server =
        oneFolder(kInbox, "1 2",
                  internalDate("1", "01-Jan-2005 10:00:00 +0000") + throttled + "\r\n" +
                      internalDate("2", "01-Jan-2005 10:00:04 +0000") + body("2", kMessage2));
    const Outcome out = playEverySplit(server);
    EXPECT_EQ(out.ending.end, SessionEnd::ServerError);
    EXPECT_EQ(out.ending.lastRefusal, throttled);
    EXPECT_EQ(out.ending.reason, "the server refused a command: " + throttled);
    EXPECT_EQ(out.ending.stored, 1u);
    EXPECT_EQ(out.ending.failed, 1u);

    // A refused SELECT, then a later refusal: the first cause stays, the last line is kept.
    const std::string lists = kInbox + list("\\HasNoChildren", "\"/\"", "Work");
    const std::string refusedSelect = kGreeting + kLoginOk + lists + kListOk + selectOk(1) + searchResult("1") +
                                      "A002 NO [NONEXISTENT] Mailbox doesn't exist: Work\r\n" + lists +
                                      "A001 BAD [UNAVAILABLE] try later\r\n" + kLogoutOk;
    const Outcome second = playEverySplit(refusedSelect);
    EXPECT_EQ(second.ending.end, SessionEnd::ServerError);
    EXPECT_EQ(second.ending.reason, "the server refused a command: A002 NO [NONEXISTENT] Mailbox doesn't exist: Work");
    EXPECT_EQ(second.ending.lastRefusal, "A001 BAD [UNAVAILABLE] try later");
}

TEST(ImapEnding, AByeBeforeLogoutEndsTheSessionAsSuch) {
    const std::string bye = "* BYE [UNAVAILABLE] Server shutting down";
    Outcome out = playEverySplit(kGreeting + kLoginOk + kInbox + kListOk + bye + "\r\n");
    EXPECT_EQ(out.ending.end, SessionEnd::ByeBeforeLogout);
    EXPECT_EQ(out.ending.lastRefusal, bye);
    EXPECT_EQ(out.ending.reason, "the server closed the session before LOGOUT: " + bye);

    // A greeting that is a BYE is one too.
    out = playEverySplit("* BYE Too many connections\r\nA006 BAD no\r\n");
    EXPECT_EQ(out.ending.end, SessionEnd::ByeBeforeLogout);
    EXPECT_EQ(out.ending.lastRefusal, "A006 BAD no");
}

TEST(ImapEnding, AStoreThatCannotBeWrittenIsTheCauseEvenWhenTheServerRefusesLater) {
    const std::string server =
        oneFolder(kInbox, "1 2",
                  internalDate("1", "01-Jan-2005 10:00:00 +0000") + body("1", kMessage1) +
                      internalDate("2", "01-Jan-2005 10:00:04 +0000") + "A004 NO [SERVERBUG] Internal error\r\n");
    const Outcome out = playEverySplit(server, defaultValues(), {}, [](FakeStore& store) { store.diskFullCounter = 1; });
    EXPECT_TRUE(out.files.empty());
    EXPECT_EQ(out.ending.end, SessionEnd::StoreWriteFailed);
    EXPECT_EQ(out.ending.reason, "the store could not be written: Could not write message file: disk full");
    EXPECT_EQ(out.ending.lastRefusal, "A004 NO [SERVERBUG] Internal error");
    EXPECT_EQ(out.ending.failed, 2u);
    EXPECT_EQ(out.ending.bytesStored, 0u);

    // A message file that cannot be created is a store failure as well.
    const Outcome created = playEverySplit(
        oneFolder(kInbox, "1", internalDate("1", "01-Jan-2005 10:00:00 +0000") + body("1", kMessage1)), defaultValues(),
        {}, [](FakeStore& store) { store.refuseCounter = 1; });
    EXPECT_EQ(created.ending.end, SessionEnd::StoreWriteFailed);
}

}  // namespace
}  // namespace rvo
