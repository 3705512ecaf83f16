#include <gtest/gtest.h>

#include "engine/core/settings/migration_settings.h"
#include "library/core/call_arguments.h"

namespace rvo {
namespace {

using Names = SystemFolderNames;
using Strings = std::vector<std::string>;

TEST(LibraryArguments, DestinationGetsItsBackslashAndItsFolders) {
    EXPECT_EQ(destinationWithBackslash("D:\\Mail"), "D:\\Mail\\");
    EXPECT_EQ(destinationWithBackslash("D:\\Mail\\"), "D:\\Mail\\");
    EXPECT_EQ(destinationWithBackslash(""), "\\");
    EXPECT_EQ(destinationWithBackslash("D:/Mail/"), "D:/Mail/\\");

    EXPECT_EQ(destinationFolders("D:\\Mail\\"), Strings{"D:\\Mail"});
    EXPECT_EQ(destinationFolders("D:\\Mail\\Store\\"), (Strings{"D:\\Mail", "D:\\Mail\\Store"}));
    EXPECT_TRUE(destinationFolders("D:\\").empty()) << "the root is never created";
    EXPECT_TRUE(destinationFolders("\\").empty());
}

TEST(LibraryArguments, MappingSetsWhatItGivesAndKeepsTheRest) {
    Names names{"i", "d", "x", "s"};
    applyFolderMapping(";INBOX;Drafts;Trash;Sent;", names);
    EXPECT_EQ(names, (Names{"INBOX", "Drafts", "Trash", "Sent"}));

    // Three names: the sent-items name stays from the call before.
    applyFolderMapping("In;Dr;Tr", names);
    EXPECT_EQ(names, (Names{"In", "Dr", "Tr", "Sent"}));

    // Five: piece 3 is not the last one and piece 4 is not piece 3.
    applyFolderMapping("A;B;C;D;E", names);
    EXPECT_EQ(names, (Names{"A", "B", "C", "Sent"}));

    // Nothing given, nothing changed; a given empty name is set empty.
    applyFolderMapping("", names);
    applyFolderMapping(";", names);
    EXPECT_EQ(names, (Names{"A", "B", "C", "Sent"}));
    applyFolderMapping("X;;Y;Z", names);
    EXPECT_EQ(names, (Names{"X", "", "Y", "Z"}));
}

TEST(LibraryArguments, ExclusionsOfOneCall) {
    EXPECT_EQ(parseExcludedFolders(";Trash;"), Strings{"Trash"});
    EXPECT_EQ(parseExcludedFolders("Junk;;Spam"), (Strings{"Junk", "", "Spam"}));

    MigrationSettings s;
    s.excludedFolders = parseExcludedFolders("Junk;;Spam");
    s.excludeContained = true;
    EXPECT_FALSE(s.isExcluded("INBOX")) << "an empty entry does not exclude the whole mailbox";
    EXPECT_TRUE(s.isExcluded("Old Junk"));
}

TEST(LibraryArguments, BannerDateIsEnglishWithA12HourClock) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 9;
    t.tm_wday = 3;
    t.tm_hour = 7;
    t.tm_min = 5;
    EXPECT_EQ(bannerDate(t), "Wednesday, December 09, 2026 7:05 AM");
    t.tm_hour = 0;
    EXPECT_EQ(bannerDate(t), "Wednesday, December 09, 2026 12:05 AM");
    t.tm_hour = 12;
    EXPECT_EQ(bannerDate(t), "Wednesday, December 09, 2026 12:05 PM");
    t.tm_hour = 23;
    t.tm_min = 59;
    EXPECT_EQ(bannerDate(t), "Wednesday, December 09, 2026 11:59 PM");
}

TEST(LibraryArguments, TlsOnlyOnTheProtocolsTlsPort) {
    EXPECT_EQ(securityForPort(993, true).mode, Security::Tls);
    EXPECT_EQ(securityForPort(995, false).mode, Security::Tls);
    // The other protocol's TLS port, and every other port, stay as they were.
    EXPECT_EQ(securityForPort(995, true).mode, Security::None);
    EXPECT_EQ(securityForPort(993, false).mode, Security::None);
    EXPECT_EQ(securityForPort(143, true).mode, Security::None);
    EXPECT_EQ(securityForPort(110, false).mode, Security::None);
    EXPECT_TRUE(securityForPort(993, true).caFile.empty());
}

}  // namespace
}  // namespace rvo
