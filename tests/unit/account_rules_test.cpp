#include <gtest/gtest.h>

#include "batch/core/account_rules.h"
#include "batch/core/settings_rules.h"
#include "engine/core/store/store_layout.h"

namespace rvo {
namespace {

AccountValues account(const char* user, const char* domain) {
    AccountValues a;
    a.user = user;
    a.domain = domain;
    return a;
}

TEST(AccountFolders, UserAndDomainMustEachBeOneSafeLevel) {
    for (const auto& [user, domain] : std::vector<std::pair<const char*, const char*>>{
             {"alice", "example.com"}, {"alice@example.com", "example.com"}, {"No User", "No Domain"},
             {"o'brien", "mail.example.co.uk"}}) {
        EXPECT_EQ(accountFolderProblem(account(user, domain)), std::nullopt) << user << " " << domain;
    }
    // Each of these would put the mailbox somewhere else than mail path\D\U.
    for (const auto& [user, domain] : std::vector<std::pair<const char*, const char*>>{
             {"alice", "..\\x"}, {"alice", ".."}, {"..", "example.com"}, {"alice", "C:\\Windows"},
             {"alice", "\\\\server\\share"}, {"ACME\\alice", "example.com"}, {"alice/x", "example.com"},
             {"alice", "x\\"}, {"", "example.com"}, {"alice", ""}, {"nul", "example.com"},
             {"alice", "example.com."}, {"al*ce", "example.com"}}) {
        EXPECT_NE(accountFolderProblem(account(user, domain)), std::nullopt) << user << " " << domain;
    }
}

TEST(AccountFolders, TheLineNamesTheKeyTheValueAndTheReason) {
    EXPECT_EQ(accountFolderProblem(account("alice", "..\\x")),
              "D \"..\\x\" cannot be a folder of the store: it has a \"..\" level");
    EXPECT_EQ(accountFolderProblem(account("ACME\\alice", "example.com")),
              "U \"ACME\\alice\" cannot be a folder of the store: it holds a path separator");
    EXPECT_EQ(accountFolderProblem(account("alice", "D:x")),
              "D \"D:x\" cannot be a folder of the store: it starts with a drive");
    // A long value is quoted cut, never whole.
    const std::string longDomain = std::string(300, 'd') + "\\..";
    const std::optional<std::string> problem = accountFolderProblem(account("alice", longDomain.c_str()));
    ASSERT_TRUE(problem);
    EXPECT_LT(problem->size(), 400u);
}

TEST(SingleLevelNames, AddOnlyTheSeparatorToTheFolderNameRule) {
    EXPECT_EQ(singleLevelNameProblem("Work"), std::nullopt);
    EXPECT_EQ(folderNameProblem("Work/2005"), std::nullopt);
    EXPECT_EQ(singleLevelNameProblem("Work/2005"), "it holds a path separator");
    EXPECT_EQ(singleLevelNameProblem("a\\..\\b"), folderNameProblem("a\\..\\b"));
    EXPECT_EQ(singleLevelNameProblem("\\x"), "it starts at the root of a drive");
}

using Names = std::vector<std::string>;

TEST(AccountListGap, LaterNumberedSectionsInNumberOrder) {
    EXPECT_EQ(sectionsAfterGap({"1", "2", "4", "10", "9", "Settings", "05", "-7", "4"}, 3), (Names{"4", "9", "10"}));
    EXPECT_EQ(sectionsAfterGap({"1", "2"}, 3), Names{});
    EXPECT_EQ(sectionsAfterGap({}, 1), Names{});
    // A section [3] without Status ends the list too; it is not "later".
    EXPECT_EQ(sectionsAfterGap({"1", "3", "12"}, 3), (Names{"12"}));
    EXPECT_EQ(sectionsAfterGap({"99999999999", "2"}, 1), (Names{"2"}));
}

TEST(AccountListGap, TheLineNamesTheMissingSectionAndTheUnreadOnes) {
    EXPECT_EQ(listEndsAtGapText(3, false, {"4", "6"}),
              "The account list ends at [3], which is missing; not read: [4] [6]");
    EXPECT_EQ(listEndsAtGapText(1, true, {"2"}), "The account list ends at [1], which has no Status; not read: [2]");
    Names many;
    for (int i = 4; i < 4 + 25; ++i) many.push_back(std::to_string(i));
    const std::string text = listEndsAtGapText(3, false, many);
    EXPECT_NE(text.find(" [23] and 5 more"), std::string::npos) << text;
    EXPECT_EQ(text.find("[24]"), std::string::npos) << text;
}

TEST(PortSetting, ReadsAsThePlatformDoesButNeverWraps) {
    EXPECT_EQ(readPortSetting("POP3_PORT", "110", 110).port, 110);
    EXPECT_EQ(readPortSetting("POP3_PORT", "65535", 110).port, 65535);
    EXPECT_EQ(readPortSetting("POP3_PORT", "1", 110).port, 1);
    EXPECT_EQ(readPortSetting("POP3_PORT", "+995", 110).port, 995);
    EXPECT_EQ(readPortSetting("POP3_PORT", " 110", 110).port, 110);
    // Text after the digits is ignored, as the platform's integer reading ignores it.
    EXPECT_EQ(readPortSetting("POP3_PORT", "110 pop3", 110).port, 110);
    EXPECT_TRUE(readPortSetting("POP3_PORT", "110", 110).problem.empty());
    // No value: the default, as the platform's integer reading gives it.
    EXPECT_EQ(readPortSetting("POP3_PORT", "", 110).port, 110);
    EXPECT_EQ(readPortSetting("IMAP_PORT", "", 143).port, 143);

    // 81048 is 15512 once cut to 16 bits; 4295032831 is 65535 once cut to 32.
    for (const char* text : {"81048", "65536", "0", "-110", "4295032831", "99999999999999999999", "pop", "0x6E"}) {
        const PortSetting s = readPortSetting("POP3_PORT", text, 110);
        EXPECT_EQ(s.port, 0) << text;
        EXPECT_FALSE(s.problem.empty()) << text;
    }
    EXPECT_EQ(readPortSetting("POP3_PORT", "81048", 110).problem,
              "POP3_PORT=81048 in default.cfg is not a TCP port (1 to 65535)");
    EXPECT_LT(readPortSetting("IMAP_PORT", std::string(1000, '9'), 110).problem.size(), 160u);
}

TEST(MailPathPlace, EmptyOrRelativeValuesStartAtTheProgramsFolder) {
    const std::string program = "C:\\Tools\\Kelvar\\";
    EXPECT_EQ(resolveMailPath("", program), program);
    EXPECT_EQ(resolveMailPath("Store", program), "C:\\Tools\\Kelvar\\Store");
    EXPECT_EQ(resolveMailPath("..\\Store", program), "C:\\Tools\\Kelvar\\..\\Store");
    EXPECT_EQ(resolveMailPath("\\Mail\\Store", program), "C:\\Mail\\Store");
    EXPECT_EQ(resolveMailPath("\\Mail", "\\\\srv\\share\\kelvar\\"), "\\\\srv\\share\\Mail");
    // Absolute values and drive forms stand as they are.
    EXPECT_EQ(resolveMailPath("D:\\Mail\\Store", program), "D:\\Mail\\Store");
    EXPECT_EQ(resolveMailPath("\\\\srv\\mail\\", program), "\\\\srv\\mail\\");
    EXPECT_EQ(resolveMailPath("D:Mail", program), "D:Mail");

    // With the trailing backslash the store's layout needs.
    EXPECT_EQ(normaliseMailPath(resolveMailPath("Store", program)), "C:\\Tools\\Kelvar\\Store\\");
    EXPECT_EQ(normaliseMailPath(resolveMailPath("", program)), program);
}

TEST(MailPathPlace, TheLineSaysWhereAndWhy) {
    EXPECT_EQ(storePlaceText("", "C:\\Tools\\"), "The store is C:\\Tools\\ (MAIL_PATH is empty: the program's folder)");
    EXPECT_EQ(storePlaceText("Store", "C:\\Tools\\Store\\"), "The store is C:\\Tools\\Store\\ (MAIL_PATH=Store)");
}

}  // namespace
}  // namespace rvo
