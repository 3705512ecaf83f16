#include <gtest/gtest.h>

#include <string>

#include "engine/core/db/sql_text.h"

namespace rvo {
namespace {

TEST(SqlText, TheStatementsAreExactlyTheDatabasesTexts) {
    EXPECT_EQ(selectServerSql("mail.example.com"), "SELECT ServerID FROM Servers WHERE Name='mail.example.com'");
    EXPECT_EQ(insertServerSql("10.0.0.1"), "INSERT INTO Servers ( ServerTypeID, Name ) VALUES (1, '10.0.0.1')");
    EXPECT_EQ(selectUserSql("alice", 3), "SELECT UserID FROM Users WHERE Username='alice' AND ServerID=3");
    EXPECT_EQ(insertUserSql(3, "alice"), "INSERT INTO Users ( ServerID, Username ) VALUES (3, 'alice')");
    EXPECT_EQ(selectUidlSql(3, 12, "00000001515c4b2e"),
              "SELECT [UidlID] FROM UIDLs WHERE ServerID=3 And UserID=12 And Uidl='00000001515c4b2e'");
    // The write probe changes nothing: the user's name is written as it is.
    EXPECT_EQ(rewriteUserSql(12), "UPDATE Users SET Username=Username WHERE UserID=12");
    EXPECT_EQ(insertUidlSql(3, 12, "00000001515c4b2e"),
              "INSERT INTO UIDLs ( ServerID, UserID, Uidl ) VALUES (3, 12, '00000001515c4b2e')");
    // Ids are signed decimals, whatever their value.
    EXPECT_EQ(selectUserSql("a", -2147483647 - 1), "SELECT UserID FROM Users WHERE Username='a' AND ServerID=-2147483648");
}

TEST(SqlText, SingleQuotesInValuesAreDoubledSoValuesStayValues) {
    EXPECT_EQ(sqlStringLiteral(""), "''");
    EXPECT_EQ(sqlStringLiteral("o'brien"), "'o''brien'");
    EXPECT_EQ(sqlStringLiteral("''"), "''''''");
    EXPECT_EQ(selectUserSql("x' OR '1'='1", 1), "SELECT UserID FROM Users WHERE Username='x'' OR ''1''=''1' AND ServerID=1");
    EXPECT_EQ(insertServerSql("a'); DROP TABLE UIDLs; --"),
              "INSERT INTO Servers ( ServerTypeID, Name ) VALUES (1, 'a''); DROP TABLE UIDLs; --')");
    EXPECT_EQ(insertUidlSql(1, 2, "u'1"), "INSERT INTO UIDLs ( ServerID, UserID, Uidl ) VALUES (1, 2, 'u''1')");
    // No fixed buffer: a long value is placed whole.
    const std::string longName(1000, 'n');
    EXPECT_EQ(selectServerSql(longName).size(), std::string("SELECT ServerID FROM Servers WHERE Name=''").size() + 1000);

    EXPECT_TRUE(isSqlTextValue("8-bit \xE9 and \"quotes\""));
    EXPECT_FALSE(isSqlTextValue(std::string("a\0b", 3)));
}

TEST(SqlText, ConnectionTextIsAccessUnlessOverriddenAndPercentIsNotAFormat) {
    EXPECT_EQ(connectionText(std::nullopt, "C:\\tools\\mail2xrv.mdb"),
              "DRIVER={Microsoft Access Driver (*.mdb)};DBQ=C:\\tools\\mail2xrv.mdb");
    EXPECT_EQ(connectionText(std::string(), "C:\\a.mdb"), "DRIVER={Microsoft Access Driver (*.mdb)};DBQ=C:\\a.mdb");
    EXPECT_EQ(connectionText(std::string("DRIVER={SQLite3};Database=/srv/m.db"), "C:\\a.mdb"),
              "DRIVER={SQLite3};Database=/srv/m.db");
    EXPECT_EQ(connectionText(std::string("DSN=x;A=%s;B=%s;C=%d%n%%"), "p%sq"), "DSN=x;A=p%sq;B=p%sq;C=%d%n%%");
}

TEST(SqlText, DatabaseLiesBesideTheProgram) {
    EXPECT_EQ(databasePathBeside("C:\\tools\\kelvard.exe"), "C:\\tools\\mail2xrv.mdb");
    EXPECT_EQ(databasePathBeside("Z:\\kelvard.exe"), "Z:\\mail2xrv.mdb");
    EXPECT_EQ(databasePathBeside("kelvard.exe"), "mail2xrv.mdb");
}

TEST(SqlText, SqliteDriverIsRecognisedByTheDriverAttributeOnly) {
    EXPECT_TRUE(namesSqliteDriver("DRIVER={SQLite3};Database=/tmp/m.db"));
    EXPECT_TRUE(namesSqliteDriver("Database=/tmp/m.db; driver = sqlite"));
    EXPECT_FALSE(namesSqliteDriver("DRIVER={Microsoft Access Driver (*.mdb)};DBQ=C:\\sqlite\\m.mdb"));
    EXPECT_FALSE(namesSqliteDriver("DSN=SQLite3"));
    EXPECT_FALSE(namesSqliteDriver(""));
}

TEST(SqlText, TheDatabaseIsNamedWithoutTheRestOfTheConnectionText) {
    EXPECT_EQ(databaseNameIn("DRIVER={Microsoft Access Driver (*.mdb)};DBQ=C:\\run\\mail2xrv.mdb"), "C:\\run\\mail2xrv.mdb");
    EXPECT_EQ(databaseNameIn("DRIVER={SQLite3};Database = /tmp/m.db ;PWD=secret"), "/tmp/m.db");
    EXPECT_EQ(databaseNameIn("DSN={Migration};UID=sa;PWD=secret"), "Migration");
    EXPECT_EQ(databaseNameIn("DatabaseFile=x;PWD=secret"), "of the connection text");
}

}  // namespace
}  // namespace rvo
