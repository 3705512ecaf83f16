#include <gtest/gtest.h>

#include "engine/core/store/store_layout.h"

namespace rvo {
namespace {

using Paths = std::vector<std::string>;

TEST(StoreLayout, FolderDirectoriesOfAccountAndDestination) {
    EXPECT_EQ(StoreLayout::forAccount("D:\\Mail\\", "dom", "jdoe").folderDirectory("Work/2005"),
              "D:\\Mail\\dom\\jdoe\\Work/2005");
    EXPECT_EQ(StoreLayout::forAccount("", "dom", "jdoe").folderDirectory("inbox"), "dom\\jdoe\\inbox");
    EXPECT_EQ(StoreLayout::forDestination("C:\\Dest\\").folderDirectory("Inbox"), "C:\\Dest\\Inbox");
}

TEST(StoreDirectoryTree, ImapSplitsAtBothSeparatorsPop3AtBackslashOnly) {
    EXPECT_EQ(directoriesToCreate("D:\\Mail\\dom\\user\\Work/2005", LevelSplit::kBackslashAndSlash),
              (Paths{"D:\\Mail", "D:\\Mail\\dom", "D:\\Mail\\dom\\user", "D:\\Mail\\dom\\user\\Work",
                     "D:\\Mail\\dom\\user\\Work/2005"}));
    // A backslash after a slash still gives every parent first.
    EXPECT_EQ(directoriesToCreate("D:\\u\\a/b\\c", LevelSplit::kBackslashAndSlash),
              (Paths{"D:\\u", "D:\\u\\a", "D:\\u\\a/b", "D:\\u\\a/b\\c"}));
    EXPECT_EQ(directoriesToCreate("D:\\u\\a/b", LevelSplit::kBackslashOnly), (Paths{"D:\\u", "D:\\u\\a/b"}));
}

TEST(StoreDirectoryTree, RelativeFirstLevelIsCreatedAndRootsAreNot) {
    // With an empty mail path the domain's directory is a level of its own.
    EXPECT_EQ(directoriesToCreate("dom\\user\\inbox", LevelSplit::kBackslashOnly),
              (Paths{"dom", "dom\\user", "dom\\user\\inbox"}));
    EXPECT_EQ(directoriesToCreate("\\\\host\\share\\x", LevelSplit::kBackslashOnly),
              (Paths{"\\\\host", "\\\\host\\share", "\\\\host\\share\\x"}));
    EXPECT_EQ(directoriesToCreate("D:\\x\\\\y\\", LevelSplit::kBackslashOnly),
              (Paths{"D:\\x", "D:\\x\\\\y", "D:\\x\\\\y\\"}));
    EXPECT_EQ(directoriesToCreate("inbox", LevelSplit::kBackslashOnly), (Paths{"inbox"}));
    EXPECT_TRUE(directoriesToCreate("", LevelSplit::kBackslashOnly).empty());
}

TEST(StoreLocalFolderName, MapsTheFourSystemFoldersInAnyLetterCase) {
    const SystemFolderNames server{"INBOX", "Drafts", "Trash", "Sent"};
    const SystemFolderNames batch{"inbox", "drafts", "Deleted Items", "Sent Items"};
    const SystemFolderNames library{"Inbox", "Drafts", "Deleted Items", "Sent Items"};
    EXPECT_EQ(localFolderName("INBOX", server, batch), "inbox");
    EXPECT_EQ(localFolderName("inbox", server, batch), "inbox");
    EXPECT_EQ(localFolderName("Inbox", server, library), "Inbox");
    EXPECT_EQ(localFolderName("dRAFTS", server, batch), "drafts");
    EXPECT_EQ(localFolderName("trash", server, batch), "Deleted Items");
    EXPECT_EQ(localFolderName("SENT", server, library), "Sent Items");
    // Other names keep the server's spelling, also when one only starts like a system name.
    EXPECT_EQ(localFolderName("Work/2005", server, batch), "Work/2005");
    EXPECT_EQ(localFolderName("Sent Mail", server, batch), "Sent Mail");
    EXPECT_EQ(localFolderName("INBOX.Sent", server, batch), "INBOX.Sent");
    // Names the settings leave out match nothing, not even an empty folder name.
    const SystemFolderNames partial{"INBOX", "Drafts", "", ""};
    EXPECT_EQ(localFolderName("", partial, batch), "");
    EXPECT_EQ(localFolderName("Trash", partial, batch), "Trash");
}

TEST(StoreFolderName, AcceptsOrdinaryAndNestedNames) {
    for (const char* name : {"INBOX", "Work/2005", "Work\\2005", "Sent Items", " Old", "INBOX.Sent", "a.b",
                             "Caf\xE9 & co", "~$#@!%^()[]{}',;=+", "CONSOLE", "COM10", "Con Edison", ".hidden",
                             "COM\xB4", "LPT\xB9\xB9", "COM\xC2\xB4", "COM\xB9x", "COMx", "LPT-1"}) {
        EXPECT_EQ(folderNameProblem(name), std::nullopt) << name;
    }
    EXPECT_EQ(folderNameProblem(std::string(255, 'a') + "/" + std::string(255, 'b')), std::nullopt);
}

TEST(StoreFolderName, RefusesNamesThatLeaveOrBreakTheAccountDirectory) {
    const std::string nul("a\0b", 3);
    for (const std::string& name :
         {std::string(""), std::string(".."), std::string("../x"), std::string("a/../../b"), std::string("a\\..\\b"),
          std::string("."), std::string("a/./b"), std::string("a//b"), std::string("a/"), std::string("/a"),
          std::string("\\a"), std::string("\\\\host\\share"), std::string("C:"), std::string("c:\\Windows"),
          std::string("C:x"), std::string("a:b"), std::string("a*b"), std::string("a?"), std::string("<a>"),
          std::string("a|b"), std::string("a\"b"), std::string("a\tb"), std::string("a\x1F"), nul,
          std::string("Work."), std::string("Work "), std::string("a/.../b"), std::string("CON"),
          std::string("nul.txt"), std::string("a/Com1/b"), std::string("LPT9"), std::string("aux .x"),
          std::string(256, 'a')}) {
        EXPECT_NE(folderNameProblem(name), std::nullopt) << name;
    }
}

TEST(StoreFolderName, RefusesEveryPortNameWindowsReserves) {
    // Superscript one to three: bytes of the ANSI code page and their UTF-8 form.
    for (const char* port : {"0", "1", "9", "\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
        for (const char* device : {"COM", "LPT", "com", "Lpt"}) {
            const std::string name = std::string(device) + port;
            for (const std::string& level : {name, name + ".txt", name + " .x", "Work/" + name + "/2005"})
                EXPECT_NE(folderNameProblem(level), std::nullopt) << level;
        }
    }
}

TEST(StoreFolderName, ReasonNamesTheFault) {
    EXPECT_EQ(folderNameProblem("a/../b"), "it has a \"..\" level");
    EXPECT_EQ(folderNameProblem("/etc"), "it starts at the root of a drive");
    EXPECT_EQ(folderNameProblem("Re: x"), "it holds the character ':', which Windows does not allow in file names");
    EXPECT_EQ(folderNameProblem("Work./x"), "its level \"Work.\" ends in a dot or blank, which Windows drops");
}

}  // namespace
}  // namespace rvo
