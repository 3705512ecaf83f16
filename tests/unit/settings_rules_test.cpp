#include <gtest/gtest.h>

#include "batch/core/settings_rules.h"
#include "engine/core/settings/migration_settings.h"

namespace rvo {
namespace {

using Names = std::array<std::string, 4>;

TEST(SystemFolders, PositionsFollowTheOrderOfNames) {
    EXPECT_EQ(parseSystemFolders(";INBOX;Drafts;Trash;Sent;"), (Names{"INBOX", "Drafts", "Trash", "Sent"}));
    EXPECT_EQ(parseSystemFolders("INBOX;Drafts;Trash;Sent"), (Names{"INBOX", "Drafts", "Trash", "Sent"}));
    // Three names: the third is dropped, deleted and sent items stay empty.
    EXPECT_EQ(parseSystemFolders("INBOX;Drafts;Trash"), (Names{"INBOX", "Drafts", "", ""}));
    // Five names: the fourth and later are lost.
    EXPECT_EQ(parseSystemFolders("a;b;c;d;e"), (Names{"a", "b", "c", ""}));
    EXPECT_EQ(parseSystemFolders(""), Names{});
    EXPECT_EQ(parseSystemFolders(";"), Names{});
    EXPECT_EQ(parseSystemFolders("INBOX"), Names{});
}

TEST(ExcludedFolders, SplitsWithoutTrimmingAndMatchesWholeNames) {
    MigrationSettings s;
    s.excludedFolders = parseExcludedFolders("Junk;Spam");
    EXPECT_EQ(s.excludedFolders, (std::vector<std::string>{"Junk", "Spam"}));
    EXPECT_TRUE(s.isExcluded("Junk"));
    EXPECT_TRUE(s.isExcluded("Spam"));
    EXPECT_FALSE(s.isExcluded("junk"));
    EXPECT_FALSE(s.isExcluded("Junk Mail"));

    EXPECT_EQ(parseExcludedFolders(";a;;b ;"), (std::vector<std::string>{"a", "", "b "}));
    EXPECT_TRUE(parseExcludedFolders("").empty());
    EXPECT_EQ(parseExcludedFolders("Trash"), (std::vector<std::string>{"Trash"}));
}

TEST(ExcludedFolders, ContainedEntriesMatchPartsButAnEmptyEntryNothing) {
    MigrationSettings s;
    s.excludedFolders = {"Trash"};
    s.excludeContained = true;
    for (const char* name : {"Trash", "Trash/2004", "OldTrash"}) EXPECT_TRUE(s.isExcluded(name)) << name;
    EXPECT_FALSE(s.isExcluded("trash"));
    s.excludeContained = false;
    EXPECT_TRUE(s.isExcluded("Trash"));
    EXPECT_FALSE(s.isExcluded("OldTrash"));

    // "Junk;;Spam": the empty piece excludes no folder, contained or not.
    s.excludedFolders = parseExcludedFolders("Junk;;Spam");
    for (const bool contained : {false, true}) {
        s.excludeContained = contained;
        EXPECT_FALSE(s.isExcluded("INBOX")) << contained;
        EXPECT_TRUE(s.isExcluded("Spam")) << contained;
    }
}

TEST(MailPath, TrailingBackslashAndBaseFolders) {
    EXPECT_EQ(normaliseMailPath("D:\\Mail\\Store"), "D:\\Mail\\Store\\");
    EXPECT_EQ(normaliseMailPath("D:\\Mail\\Store\\"), "D:\\Mail\\Store\\");
    EXPECT_EQ(normaliseMailPath("Store"), "Store");
    EXPECT_EQ(normaliseMailPath(""), "");

    EXPECT_EQ(mailPathFolders("D:\\Mail\\Store\\"), (std::vector<std::string>{"D:\\Mail", "D:\\Mail\\Store"}));
    EXPECT_EQ(mailPathFolders("D:\\"), std::vector<std::string>{});
    EXPECT_TRUE(mailPathFolders("Store").empty());
    EXPECT_TRUE(mailPathFolders("").empty());
}

TEST(Defaults, MatchTheSettingsFileWithoutKeys) {
    const MigrationSettings s;
    EXPECT_EQ(s.serverAddress, "127.0.0.1");
    EXPECT_EQ(s.imapPort, 143);
    EXPECT_EQ(s.pop3Port, 110);
    EXPECT_EQ(s.markDeleted + s.migrateDeleted + s.createEmpty, 0);
    const AccountValues a;
    EXPECT_EQ(a.user, "No User");
    EXPECT_EQ(a.password, "No Password");
    EXPECT_EQ(a.domain, "No Domain");
    EXPECT_EQ(a.status, -1);
    EXPECT_EQ(a.protocol, 0);
}

TEST(ConnectionSecurity, KnownModesAndTheirPorts) {
    EXPECT_EQ(parseSecurity(""), Security::None);
    EXPECT_EQ(parseSecurity("none"), Security::None);
    EXPECT_EQ(parseSecurity("TLS"), Security::Tls);
    EXPECT_EQ(parseSecurity("StartTLS"), Security::StartTls);
    for (const char* other : {"ssl", "tls ", "yes", "1", "starttls;", "tl"}) EXPECT_FALSE(parseSecurity(other)) << other;

    const ConnectionSecurity unknown = parseConnectionSecurity("ssl", "C:\\ca.pem");
    EXPECT_EQ(unknown.mode, Security::Unknown);
    EXPECT_EQ(unknown.text, "ssl");
    EXPECT_EQ(unknown.caFile, "C:\\ca.pem");
    EXPECT_EQ(parseConnectionSecurity("", "").mode, Security::None);

    EXPECT_EQ(defaultImapPort(Security::None), 143);
    EXPECT_EQ(defaultPop3Port(Security::None), 110);
    // STARTTLS upgrades the plain ports.
    EXPECT_EQ(defaultImapPort(Security::StartTls), 143);
    EXPECT_EQ(defaultPop3Port(Security::StartTls), 110);
    EXPECT_EQ(defaultImapPort(Security::Tls), 993);
    EXPECT_EQ(defaultPop3Port(Security::Tls), 995);
    EXPECT_EQ(defaultImapPort(Security::Unknown), 143);
}

TEST(PipelineDepth, OneUnlessTwoToSixtyFourAndMistakesAreReported) {
    for (const char* value : {"", "0", "1", "00", "001"}) {
        const PipelineDepth d = parsePipelineDepth(value);
        EXPECT_EQ(d.depth, 1) << value;
        EXPECT_TRUE(d.problem.empty()) << value;
    }
    EXPECT_EQ(parsePipelineDepth("2").depth, 2);
    EXPECT_EQ(parsePipelineDepth("16").depth, 16);
    EXPECT_EQ(parsePipelineDepth("064").depth, 64);
    EXPECT_TRUE(parsePipelineDepth("64").problem.empty());
    for (const char* value : {"65", "-2", "16 x", "0x10", "sixteen", "99999999999999999999", " 8", "+4"}) {
        const PipelineDepth d = parsePipelineDepth(value);
        EXPECT_EQ(d.depth, 1) << value;
        EXPECT_NE(d.problem.find("PIPELINE="), std::string::npos) << value;
    }
    // A long value is cut in the log line.
    EXPECT_LT(parsePipelineDepth(std::string(255, '9')).problem.size(), 120u);
    EXPECT_EQ(MigrationSettings{}.pipelineDepth, 1);
}

}  // namespace
}  // namespace rvo
