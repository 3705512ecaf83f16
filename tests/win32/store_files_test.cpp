#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "engine/win32/imap/imap_file_store.h"
#include "engine/win32/log/file_finder.h"
#include "engine/win32/store/message_store.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

using test::TempFolder;

const CivilTime kStoredAt{2006, 3, 8, 14, 3, 9};
const std::string kHex = "346749F5";  // 2006-03-07 09:15:42

MessageStore storeUnder(const std::string& mailPath) {
    MigrationSettings settings;
    settings.mailPath = mailPath;
    settings.systemFolderNames = {"INBOX", "Drafts", "Trash", "Sent"};
    AccountValues account;
    account.domain = "example.com";
    account.user = "jdoe";
    return MessageStore::forAccount(settings, account, {"inbox", "drafts", "Deleted Items", "Sent Items"},
                                    [] { return kStoredAt; });
}

bool isDirectory(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    FileFinder finder(folder + "\\*");
    if (!finder.findFirst()) {
        do {
            if (finder.name() != "." && finder.name() != "..") names.push_back(finder.name());
        } while (finder.findNext());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A folder with its directory in place, as a session has it before the first message.
struct StoreInbox : ::testing::Test {
    TempFolder dir{"store"};
    MessageStore store = storeUnder(dir.path());
    std::string inbox = store.folderDirectory("inbox");
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(MessageStore::ensureDirectoryTree(inbox, LevelSplit::kBackslashOnly, error)) << error;
    }
    std::string stored(int counter, const std::string& hex = kHex) const {
        return messageFilePath(inbox, kStoredAt, counter, hex);
    }
    std::string storedName(int counter) const { return messageFileName(kStoredAt, counter, kHex); }
};

TEST(StoreDirectories, NestedImapFolderAndMappedInbox) {
    TempFolder dir("store-tree");
    const MessageStore store = storeUnder(dir.path());
    std::string error;
    for (const char* serverName : {"Work/2005", "INBOX", "inbox"}) {
        const std::string folder = store.folderDirectory(store.localFolderName(serverName));
        EXPECT_TRUE(MessageStore::ensureDirectoryTree(folder, LevelSplit::kBackslashAndSlash, error)) << error;
    }
    const std::string user = dir.file("example.com\\jdoe");
    EXPECT_EQ(namesIn(user), (std::vector<std::string>{"Work", "inbox"}));
    EXPECT_EQ(namesIn(user + "\\Work"), std::vector<std::string>{"2005"});
    EXPECT_TRUE(isDirectory(user + "\\Work\\2005"));
}

TEST(StoreDirectories, EmptyMailPathCreatesTheTreeInTheCurrentDirectory) {
    TempFolder dir("store-relative");
    char previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    std::string error;
    const bool created = MessageStore::ensureDirectoryTree(storeUnder("").folderDirectory("inbox"),
                                                           LevelSplit::kBackslashOnly, error);
    SetCurrentDirectoryA(previous);
    EXPECT_TRUE(created) << error;
    EXPECT_TRUE(isDirectory(dir.file("example.com\\jdoe\\inbox")));
}

TEST(StoreDirectories, DirectoryThatCannotBeCreatedIsReported) {
    TempFolder dir("store-blocked");
    test::writeWholeFile(dir.file("example.com"), "a file where the domain's directory belongs");
    const std::string inbox = storeUnder(dir.path()).folderDirectory("inbox");
    std::string error;
    EXPECT_FALSE(MessageStore::ensureDirectoryTree(inbox, LevelSplit::kBackslashOnly, error));
    EXPECT_NE(error.find("Could not create directory " + inbox), std::string::npos) << error;
}

TEST_F(StoreInbox, MessageIsWrittenUnderATemporaryNameAndRenamedWhenComplete) {
    MessageFile file = store.openMessage(inbox, 37, kHex);
    ASSERT_TRUE(file.isOpen()) << file.error();
    EXPECT_EQ(file.path(), inbox + "\\200603081403090037-0000000200000000346749F5.imap");
    const std::string binaryLine("nul\0byte \xFF\xE4 cr\r tab\t", 21);
    EXPECT_TRUE(file.writeLine(imapHeaderLine(kHex)));
    EXPECT_TRUE(file.writeLine("Subject: x"));
    EXPECT_TRUE(file.writeLine(binaryLine));
    // Chunks around the writer's buffer size arrive in order.
    std::string large;
    for (std::size_t size : {1u, 65535u, 65536u, 70000u, 3u, 200000u}) {
        const std::string chunk(size, static_cast<char>('a' + large.size() % 26));
        EXPECT_TRUE(file.write(chunk));
        large += chunk;
    }
    EXPECT_TRUE(file.writeLine(""));
    EXPECT_EQ(MessageStore::countStored(inbox, kHex), 0) << "nothing looks stored before commit";

    ASSERT_TRUE(file.commit()) << file.error();
    EXPECT_EQ(namesIn(inbox), std::vector<std::string>{"200603081403090037-0000000200000000346749F5.imap"});
    EXPECT_EQ(test::readWholeFile(file.path()),
              "0000000000000000346749F5\r\nSubject: x\r\n" + binaryLine + "\r\n" + large + "\r\n");
    EXPECT_EQ(MessageStore::countStored(inbox, kHex), 1);
}

TEST_F(StoreInbox, FileTimesAreSetToTheMessageTimeAndSurviveTheRename) {
    const FileTime messageTime = fileTimeFromCivil({2006, 3, 7, 9, 15, 42}).value();
    const auto value = [](const FILETIME& ft) { return (FileTime{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; };
    // Past the write buffer too: the last bytes are written just before the stamp.
    for (const std::size_t size : {std::size_t{1}, std::size_t{200 * 1024}}) {
        MessageFile file = store.openMessage(inbox, static_cast<int>(size), kHex);
        ASSERT_TRUE(file.writeLine(std::string(size, 'x')) && file.commit(messageTime)) << file.error();
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExA(file.path().c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(value(data.ftCreationTime), messageTime);
        EXPECT_EQ(value(data.ftLastWriteTime), messageTime);
        EXPECT_EQ(value(data.ftLastAccessTime), messageTime);
        EXPECT_EQ(data.nFileSizeLow, size + 2);
    }
    // Without a time the file keeps the time it was written.
    MessageFile plain = store.openMessage(inbox, 9, kHex);
    ASSERT_TRUE(plain.writeLine("x") && plain.commit()) << plain.error();
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA(plain.path().c_str(), GetFileExInfoStandard, &data));
    EXPECT_GT(value(data.ftLastWriteTime), messageTime);
}

TEST_F(StoreInbox, DuplicateTestCountsFourAndFiveDigitCountersOfItsSlotOnly) {
    for (const std::string& path : {stored(37), stored(10000), stored(123456), stored(38, "346749F4")}) {
        test::writeWholeFile(path, "x");
    }
    CreateDirectoryA(stored(39).c_str(), nullptr);                          // not a message
    test::writeWholeFile(temporaryFileName(stored(40)), "partial message");  // not complete
    EXPECT_EQ(MessageStore::countStored(inbox, kHex), 3);
    EXPECT_TRUE(MessageStore::isAlreadyStored(inbox, kHex));
    EXPECT_EQ(MessageStore::countStored(inbox, "346749F4"), 1);
    EXPECT_FALSE(MessageStore::isAlreadyStored(inbox, "346749F6"));
    EXPECT_EQ(MessageStore::countStored(inbox + "\\missing", kHex), 0);
}

TEST_F(StoreInbox, InterruptedWriteLeavesNothingThatLooksStored) {
    {
        MessageFile file = store.openMessage(inbox, 5, kHex);
        ASSERT_TRUE(file.isOpen()) << file.error();
        file.writeLine(imapHeaderLine(kHex));
        file.writeLine("first half of a message");
    }  // the session ended without completing the message
    EXPECT_TRUE(namesIn(inbox).empty());

    // A process that died mid-message leaves its temporary file; it never
    // counts as stored and goes when the folder is next written.
    const std::string left = temporaryFileName(stored(5));
    test::writeWholeFile(left, "0000000000000000346749F5\r\ntruncat");
    test::writeWholeFile(inbox + "\\notes.partial", "not ours");
    EXPECT_EQ(MessageStore::countStored(inbox, kHex), 0);

    MessageStore nextRun = storeUnder(dir.path());
    MessageFile next = nextRun.openMessage(inbox, 6, kHex);
    ASSERT_TRUE(next.isOpen()) << next.error();
    EXPECT_EQ(GetFileAttributesA(left.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(next.writeLine("whole") && next.commit()) << next.error();
    EXPECT_EQ(namesIn(inbox),
              (std::vector<std::string>{"200603081403090006-0000000200000000346749F5.imap", "notes.partial"}));
}

TEST_F(StoreInbox, OpenMessageOfAnotherWriterIsNotTakenForStale) {
    MessageFile first = store.openMessage(inbox, 1, kHex);
    ASSERT_TRUE(first.writeLine("first")) << first.error();
    MessageFile second = store.openMessage(inbox, 2, kHex);
    ASSERT_TRUE(second.writeLine("second") && second.commit()) << second.error();
    ASSERT_TRUE(first.commit()) << first.error();
    EXPECT_EQ(test::readWholeFile(stored(1)), "first\r\n");
    EXPECT_EQ(MessageStore::countStored(inbox, kHex), 2);
}

TEST_F(StoreInbox, TakenNameIsNeverExtendedButTheNextCounterIsUsed) {
    test::writeWholeFile(stored(37), "earlier message");
    test::writeWholeFile(stored(38), "another earlier message");
    MessageFile file = store.openMessage(inbox, 37, kHex);
    ASSERT_TRUE(file.writeLine("new message") && file.commit()) << file.error();
    EXPECT_EQ(file.path(), stored(39));
    EXPECT_EQ(test::readWholeFile(file.path()), "new message\r\n");
    EXPECT_EQ(test::readWholeFile(stored(37)), "earlier message");

    // Past 9999 the counter grows a digit and stays recognisable.
    test::writeWholeFile(stored(9999), "x");
    MessageFile wide = store.openMessage(inbox, 9999, kHex);
    ASSERT_TRUE(wide.commit()) << wide.error();
    EXPECT_EQ(wide.path(), stored(10000));
    EXPECT_EQ(MessageStore::countStored(inbox, kHex), 5);
}

TEST_F(StoreInbox, MessageFileThatCannotBeCreatedIsReported) {
    const std::string missing = inbox + "\\gone";
    MessageFile file = store.openMessage(missing, 1, kHex);
    EXPECT_FALSE(file.isOpen());
    EXPECT_NE(file.error().find("Could not create message file " + missing + "\\"), std::string::npos)
        << file.error();
    EXPECT_FALSE(file.writeLine("lost"));
    EXPECT_FALSE(file.commit());
    EXPECT_FALSE(file.error().empty());
}

TEST_F(StoreInbox, OpenFileMovesWithItsOwner) {
    MessageFile held;
    {
        MessageFile file = store.openMessage(inbox, 7, kHex);
        file.writeLine("moved");
        held = std::move(file);
        EXPECT_FALSE(file.isOpen());
    }  // the moved-from object removes nothing
    ASSERT_TRUE(held.commit()) << held.error();
    EXPECT_EQ(test::readWholeFile(stored(7)), "moved\r\n");
}

// What the IMAP session asks of the folder: its listing, its record file and
// a comparison of the message being written with a stored one.
TEST_F(StoreInbox, ImapStoreListsRecordsAndComparesMessages) {
    ImapFileStore imap(storeUnder(dir.path()));
    std::vector<std::string> names;
    std::string error, text;
    ASSERT_TRUE(imap.listFolder(inbox + "\\missing", names, error)) << error;
    EXPECT_TRUE(names.empty());
    ASSERT_TRUE(imap.readRecords(inbox + "\\missing", text, error)) << error;
    EXPECT_TRUE(text.empty());

    std::string big = "0000000000000000346749F5\r\n";
    while (big.size() < 200 * 1024) big += "a line of the message body, long enough to span buffers\r\n";
    test::writeWholeFile(stored(1), big);
    test::writeWholeFile(inbox + "\\notes.txt", "not a message");
    ASSERT_TRUE(imap.listFolder(inbox, names, error)) << error;
    EXPECT_EQ(names, std::vector<std::string>{storedName(1)});

    // The same bytes are recognised; one byte more or another byte is not.
    for (const auto& [bytes, same] : {std::pair<std::string, bool>{big, true}, {big + "x", false},
                                      {std::string(big).replace(150000, 1, "b"), false}}) {
        ASSERT_TRUE(imap.beginMessage(inbox, 2, kHex, error)) << error;
        ASSERT_TRUE(imap.writeMessage(bytes, error)) << error;
        EXPECT_EQ(imap.sameAsStored(storedName(1), error), same);
        EXPECT_TRUE(error.empty()) << error;
        imap.abandonMessage();
    }
    ASSERT_TRUE(imap.beginMessage(inbox, 2, kHex, error)) << error;
    EXPECT_FALSE(imap.sameAsStored("gone.imap", error));
    EXPECT_FALSE(error.empty());

    std::string name;
    bool done = false;
    ASSERT_TRUE(imap.writeMessage("0000000000000000346749F5\r\nnew\r\n", error)) << error;
    ASSERT_TRUE(imap.commitMessage(fileTimeFromCivil({2006, 3, 7, 9, 15, 42}).value(), name, done, error)) << error;
    EXPECT_TRUE(done);
    EXPECT_EQ(name, storedName(2));

    ASSERT_TRUE(imap.appendRecords(inbox, "# note\r\n1 2 " + name + " INBOX\r\n", error)) << error;
    ASSERT_TRUE(imap.appendRecords(inbox, "1 3 x.imap INBOX\r\n", error)) << error;
    ASSERT_TRUE(imap.readRecords(inbox, text, error)) << error;
    EXPECT_EQ(text, "# note\r\n1 2 " + name + " INBOX\r\n1 3 x.imap INBOX\r\n");
    // The record file is no message.
    ASSERT_TRUE(imap.listFolder(inbox, names, error)) << error;
    EXPECT_EQ(names.size(), 2u);
}

}  // namespace
}  // namespace rvo
