#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "batch/win32/account_record.h"
#include "batch/win32/default_cfg_model.h"
#include "batch/win32/profile.h"
#include "engine/win32/log/file_finder.h"
#include "tests/win32/recording_log.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

using test::RecordingLog;
using test::TempFolder;

TEST(DefaultCfgModel, DefaultsWithoutAFile) {
    TempFolder dir("cfg-none");
    RecordingLog log;
    const DefaultCfgModel model(log, dir.file("default.cfg"));
    const MigrationSettings& s = model.settings();
    EXPECT_EQ(s.serverAddress, "127.0.0.1");
    EXPECT_EQ(s.imapPort, 143);
    EXPECT_EQ(s.pop3Port, 110);
    EXPECT_EQ(s.markDeleted, 0);
    EXPECT_EQ(s.migrateDeleted, 0);
    EXPECT_EQ(s.createEmpty, 0);
    // No MAIL_PATH: the store is the folder of the settings file, the program's.
    EXPECT_EQ(s.mailPath, dir.path());
    EXPECT_EQ(model.configuredMailPath(), "");
    EXPECT_EQ(s.systemFolderNames, (std::array<std::string, 4>{}));
    EXPECT_TRUE(s.excludedFolders.empty());
    EXPECT_FALSE(model.isExcluded("Junk"));
    EXPECT_EQ(s.security.mode, Security::None);
    EXPECT_EQ(s.security.caFile, "");
    EXPECT_EQ(s.pipelineDepth, 1);
    EXPECT_TRUE(log.lines.empty());
}

TEST(DefaultCfgModel, SecurityAndItsPortDefaults) {
    TempFolder dir("cfg-security");
    const std::string path = dir.file("default.cfg");
    test::writeWholeFile(path, "[SOURCE_SERVER]\r\nSECURITY=tls\r\nCA_FILE=C:\\certs\\company.pem\r\n");
    RecordingLog log;
    {
        const MigrationSettings s = DefaultCfgModel(log, path).settings();
        EXPECT_EQ(s.security.mode, Security::Tls);
        EXPECT_EQ(s.security.caFile, "C:\\certs\\company.pem");
        EXPECT_EQ(s.imapPort, 993);
        EXPECT_EQ(s.pop3Port, 995);
    }
    test::writeWholeFile(path, "[SOURCE_SERVER]\r\nSECURITY=tls\r\nIMAP_PORT=10993\r\n");
    EXPECT_EQ(DefaultCfgModel(log, path).settings().imapPort, 10993);
    EXPECT_EQ(DefaultCfgModel(log, path).settings().pop3Port, 995);
    test::writeWholeFile(path, "[SOURCE_SERVER]\r\nSECURITY=starttls\r\n");
    EXPECT_EQ(DefaultCfgModel(log, path).settings().security.mode, Security::StartTls);
    EXPECT_EQ(DefaultCfgModel(log, path).settings().imapPort, 143);
    test::writeWholeFile(path, "[SOURCE_SERVER]\r\nSECURITY=\r\n");
    EXPECT_EQ(DefaultCfgModel(log, path).settings().security.mode, Security::None);
    test::writeWholeFile(path, "[SOURCE_SERVER]\r\nSECURITY=ssl\r\n");
    const MigrationSettings unknown = DefaultCfgModel(log, path).settings();
    EXPECT_EQ(unknown.security.mode, Security::Unknown);
    EXPECT_EQ(unknown.security.text, "ssl");
    EXPECT_EQ(unknown.imapPort, 143);
}

TEST(DefaultCfgModel, PipelineIsReadAndAMistakeIsLoggedAsOne) {
    TempFolder dir("cfg-pipeline");
    RecordingLog log;
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nPIPELINE=16\r\n");
    EXPECT_EQ(DefaultCfgModel(log, dir.file("default.cfg")).settings().pipelineDepth, 16);
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nPIPELINE=\r\n");
    EXPECT_EQ(DefaultCfgModel(log, dir.file("default.cfg")).settings().pipelineDepth, 1);
    EXPECT_TRUE(log.lines.empty());
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nPIPELINE=128\r\n");
    EXPECT_EQ(DefaultCfgModel(log, dir.file("default.cfg")).settings().pipelineDepth, 1);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("DefaultCfgModel Object PIPELINE=128 is not a number", 0), 0u) << log.lines[0];
}

TEST(DefaultCfgModel, CheckOnlyIsReadItsMistakeKeptNotLoggedAndNoStoreFolderMade) {
    TempFolder dir("cfg-check");
    RecordingLog log;
    const std::string store = dir.path() + "Store";
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nMAIL_PATH=" + store + "\r\n");
    EXPECT_FALSE(DefaultCfgModel(log, dir.file("default.cfg")).settings().checkOnly);
    ASSERT_TRUE(RemoveDirectoryA(store.c_str()));
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nCHECK_ONLY=1\r\nMAIL_PATH=" + store + "\r\n");
    const DefaultCfgModel checking(log, dir.file("default.cfg"));
    EXPECT_TRUE(checking.settings().checkOnly);
    EXPECT_TRUE(checking.checkOnlyProblem().empty());
    // A check leaves the disk as it found it, store root included.
    EXPECT_FALSE(pathExists(store));
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nCHECK_ONLY=yes\r\nMAIL_PATH=" + store + "\r\n");
    const DefaultCfgModel unclear(log, dir.file("default.cfg"));
    EXPECT_TRUE(unclear.settings().checkOnly);
    EXPECT_NE(unclear.checkOnlyProblem().find("CHECK_ONLY"), std::string::npos);
    EXPECT_FALSE(pathExists(store));
    // Each session reads the settings again; the run logs the problem once.
    EXPECT_TRUE(log.lines.empty());
}

TEST(DefaultCfgModel, TheRunKeysAreReadTheirProblemsKeptForTheRunAndAnEmptyKeyCountsAsWritten) {
    TempFolder dir("cfg-run-keys");
    RecordingLog log;
    const std::string path = dir.file("default.cfg");
    test::writeWholeFile(path, "[CONFIG]\r\nPIPELINE=4\r\n");
    const DefaultCfgModel none(log, path);
    EXPECT_EQ(none.parallel().accounts, 1);
    EXPECT_EQ(none.retries().retries, 0);
    EXPECT_FALSE(none.runKeysWritten()) << "without the keys the log stays as it was";

    test::writeWholeFile(path, "[CONFIG]\r\nPARALLEL=8\r\nRETRIES=3\r\n");
    const DefaultCfgModel both(log, path);
    EXPECT_EQ(both.parallel().accounts, 8);
    EXPECT_EQ(both.retries().retries, 3);
    EXPECT_TRUE(both.runKeysWritten());

    test::writeWholeFile(path, "[CONFIG]\r\nRETRIES=\r\n");
    EXPECT_TRUE(DefaultCfgModel(log, path).runKeysWritten());
    test::writeWholeFile(path, "[CONFIG]\r\nCHECK_ONLY=0\r\n");
    EXPECT_TRUE(DefaultCfgModel(log, path).runKeysWritten());

    test::writeWholeFile(path, "[CONFIG]\r\nPARALLEL=17\r\nRETRIES=x\r\n");
    const DefaultCfgModel wrong(log, path);
    EXPECT_EQ(wrong.parallel().accounts, 1);
    EXPECT_EQ(wrong.retries().retries, 0);
    EXPECT_FALSE(wrong.parallel().problem.empty());
    EXPECT_FALSE(wrong.retries().problem.empty());
    // Each session reads the settings again: the run logs the problems once, not the model.
    EXPECT_TRUE(log.lines.empty());
}

TEST(DefaultCfgModel, ReadsEveryKeyAndCreatesTheMailPath) {
    TempFolder dir("cfg-full");
    const std::string store = dir.path() + "Mail\\Store";
    test::writeWholeFile(dir.file("default.cfg"),
                         "[SOURCE_SERVER]\r\nNAME_IP=mail.example.com\r\nIMAP_PORT=10143\r\nPOP3_PORT=10110\r\n"
                         "[CONFIG]\r\nMARK_DELETED=1\r\nMIGRATE_DELETED=1\r\nCREATE_EMPTY=1\r\nMAIL_PATH=" +
                             store + "\r\nSYS_FOLDERS=;INBOX;Drafts;Trash;Sent;\r\n"
                                     "[EXCLUDE_FOLDERS]\r\nEXCLUDE=Junk;Spam\r\n");
    RecordingLog log;
    const DefaultCfgModel model(log, dir.file("default.cfg"));
    const MigrationSettings& s = model.settings();
    EXPECT_EQ(s.serverAddress, "mail.example.com");
    EXPECT_EQ(s.imapPort, 10143);
    EXPECT_EQ(s.pop3Port, 10110);
    EXPECT_EQ(s.markDeleted + s.migrateDeleted + s.createEmpty, 3);
    EXPECT_EQ(s.mailPath, store + "\\");
    EXPECT_EQ(s.systemFolderNames, (std::array<std::string, 4>{"INBOX", "Drafts", "Trash", "Sent"}));
    EXPECT_TRUE(model.isExcluded("Spam"));
    EXPECT_FALSE(model.isExcluded("junk"));
    EXPECT_TRUE(pathExists(dir.path() + "Mail"));
    EXPECT_TRUE(pathExists(store));
}

TEST(DefaultCfgModel, PortsOutsideTheTcpRangeAreRefusedNotWrapped) {
    TempFolder dir("cfg-ports");
    test::writeWholeFile(dir.file("default.cfg"), "[SOURCE_SERVER]\r\nIMAP_PORT=4295032831\r\nPOP3_PORT=81048\r\n");
    RecordingLog log;
    const DefaultCfgModel model(log, dir.file("default.cfg"));
    EXPECT_EQ(model.settings().imapPort, 0);
    EXPECT_EQ(model.settings().pop3Port, 0);
    EXPECT_EQ(model.pop3PortProblem(), "POP3_PORT=81048 in default.cfg is not a TCP port (1 to 65535)");
    EXPECT_EQ(model.imapPortProblem(), "IMAP_PORT=4295032831 in default.cfg is not a TCP port (1 to 65535)");

    test::writeWholeFile(dir.file("default.cfg"), "[SOURCE_SERVER]\r\nIMAP_PORT=\r\nPOP3_PORT=995\r\n");
    const DefaultCfgModel usable(log, dir.file("default.cfg"));
    EXPECT_EQ(usable.settings().pop3Port, 995);
    EXPECT_TRUE(usable.pop3PortProblem().empty());
    // An empty value reads as a missing one.
    EXPECT_EQ(usable.settings().imapPort, 143);
    EXPECT_TRUE(usable.imapPortProblem().empty());
}

TEST(DefaultCfgModel, ARelativeMailPathStartsAtTheProgramsFolderWhateverTheCurrentDirectory) {
    TempFolder dir("cfg-relative");
    TempFolder elsewhere("cfg-elsewhere");
    test::writeWholeFile(dir.file("default.cfg"), "[CONFIG]\r\nMAIL_PATH=Mail\\Store\r\n");
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(elsewhere.path().c_str());
    RecordingLog log;
    const DefaultCfgModel model(log, dir.file("default.cfg"));
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(model.settings().mailPath, dir.path() + "Mail\\Store\\");
    EXPECT_EQ(model.configuredMailPath(), "Mail\\Store");
    EXPECT_TRUE(pathExists(dir.path() + "Mail\\Store"));
    EXPECT_FALSE(pathExists(elsewhere.path() + "Mail"));
}

TEST(Profile, SectionNamesInFileOrderAlsoBeyondTheFirstBuffer) {
    TempFolder dir("profile-sections");
    const std::string path = dir.file("accounts.ini");
    EXPECT_TRUE(Profile(path).sectionNames().empty()) << "no file";
    std::string text;
    std::vector<std::string> expected;
    for (int i = 1; i <= 900; ++i) {
        text += "[" + std::to_string(i) + "-section]\r\nStatus=0\r\n";
        expected.push_back(std::to_string(i) + "-section");
    }
    test::writeWholeFile(path, text);
    EXPECT_EQ(Profile(path).sectionNames(), expected);
}

TEST(DefaultCfgModel, TheOAuthSectionIsReadAndAMistakeKeepsEveryAccountFromPasswords) {
    TempFolder dir("oauth");
    RecordingLog log;
    const std::string path = dir.file("default.cfg");
    EXPECT_EQ(DefaultCfgModel(log, path).oauth().mechanism, OAuthMechanism::None);
    EXPECT_TRUE(DefaultCfgModel(log, path).oauthProblem().empty());

    test::writeWholeFile(path, "[OAUTH2]\r\nMECHANISM=XOAUTH2\r\nTOKEN_SOURCE=microsoft\r\nTENANT=company.test\r\n"
                               "CLIENT_ID=app\r\nCLIENT_SECRET=s3cret~value\r\nTOKEN_URL=https://idp.company.test/t\r\n"
                               "SCOPE=api://x/.default\r\n");
    const DefaultCfgModel model(log, path);
    EXPECT_TRUE(model.oauthProblem().empty()) << model.oauthProblem();
    EXPECT_EQ(model.oauth().mechanism, OAuthMechanism::XOAuth2);
    EXPECT_EQ(model.oauth().source, TokenSource::Microsoft);
    EXPECT_EQ(model.oauth().clientSecret, "s3cret~value");
    EXPECT_EQ(model.oauth().tokenUrl, "https://idp.company.test/t");
    EXPECT_EQ(model.oauth().scope, "api://x/.default");

    // A mechanism with an incomplete source must not fall back to passwords, and never shows the secret.
    test::writeWholeFile(path, "[OAUTH2]\r\nMECHANISM=oauthbearer\r\nTOKEN_SOURCE=microsoft\r\n"
                               "CLIENT_SECRET=s3cret~value\r\n");
    const DefaultCfgModel incomplete(log, path);
    EXPECT_FALSE(incomplete.oauthProblem().empty());
    EXPECT_EQ(incomplete.oauthProblem().find("s3cret"), std::string::npos) << incomplete.oauthProblem();
    test::writeWholeFile(path, "[OAUTH2]\r\nMECHANISM=kerberos\r\n");
    EXPECT_FALSE(DefaultCfgModel(log, path).oauthProblem().empty());
}

TEST(AccountRecord, ReadsSectionsWithDefaultsAndWritesStatusBack) {
    TempFolder dir("accounts");
    const std::string path = dir.file("accounts.ini");
    test::writeWholeFile(path,
                         "[1]\r\nU=alice\r\nP=pa ss;word\r\nD=example.com\r\nStatus=0\r\nA=2\r\n"
                         "[2]\r\nStatus=0\r\n"
                         "[3]\r\nU=carol\r\nA=1\r\n");
    const AccountRecord first(1, path);
    EXPECT_EQ(first.section(), "1");
    EXPECT_EQ(first.user(), "alice");
    EXPECT_EQ(first.password(), "pa ss;word");
    EXPECT_EQ(first.domain(), "example.com");
    EXPECT_EQ(first.status(), 0);
    EXPECT_EQ(first.protocol(), 2);
    EXPECT_EQ(first.values().loginName(), "alice") << "without SOURCE_USER the login is U";

    const AccountRecord bare(2, path);
    EXPECT_EQ(bare.user(), "No User");
    EXPECT_EQ(bare.password(), "No Password");
    EXPECT_EQ(bare.domain(), "No Domain");
    EXPECT_EQ(bare.status(), 0);
    EXPECT_EQ(bare.protocol(), 0);

    // No Status key: the end of the list, whatever else the section holds.
    EXPECT_EQ(AccountRecord(3, path).status(), -1);
    EXPECT_EQ(AccountRecord(4, path).status(), -1);

    first.writeStatus(1);
    AccountRecord(3, path).writeStatus(1);
    EXPECT_EQ(AccountRecord(1, path).status(), 1);
    EXPECT_EQ(AccountRecord(1, path).user(), "alice") << "the rest of the section is kept";
    EXPECT_EQ(AccountRecord(3, path).status(), 1) << "a missing key is created";
    EXPECT_EQ(AccountRecord(2, path).status(), 0);

    test::writeWholeFile(path, "[1]\r\nU=alice\r\nSOURCE_USER=alice@company.test\r\nD=company.test\r\nStatus=0\r\n");
    EXPECT_EQ(AccountRecord(1, path).user(), "alice") << "U stays the local folder";
    EXPECT_EQ(AccountRecord(1, path).values().loginName(), "alice@company.test");
}

// The profile functions take one pair of surrounding quotes and the blanks
// around a value away; the README tells users to write such passwords in an
// extra pair of double quotes, and this is what that gives.
TEST(AccountRecord, APasswordInQuotesKeepsItsBlanksAndInnerQuotes) {
    TempFolder dir("quoted");
    const std::string path = dir.file("accounts.ini");
    const std::vector<std::pair<std::string, std::string>> written{
        {"P=  secret  ", "secret"},           // blanks around a bare value are lost
        {"P=\" secret \"", " secret "},       // kept inside the extra quotes
        {"P=\"\"quoted\"\"", "\"quoted\""},   // the outer pair is taken, the inner kept
        {"P=\"'single'\"", "'single'"},
        {"P='single'", "single"},             // single quotes are taken too
        {"P=\"a \"b\" c\"", "a \"b\" c"},
        {"P=\"unclosed", "\"unclosed"},       // no pair, nothing taken
    };
    std::string text;
    for (std::size_t i = 0; i < written.size(); ++i)
        text += "[" + std::to_string(i + 1) + "]\r\nU=u\r\n" + written[i].first + "\r\nStatus=0\r\n";
    test::writeWholeFile(path, text);
    for (std::size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(AccountRecord(static_cast<int>(i) + 1, path).password(), written[i].second) << written[i].first;
}

}  // namespace
}  // namespace rvo
