#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/db/sql_text.h"
#include "engine/win32/db/data_model.h"
#include "engine/win32/db/odbc_handle.h"
#include "tests/win32/recording_log.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

using test::RecordingLog;
using test::TempFolder;

// The SQLite ODBC driver runs on the Unix side of Wine and wants a Unix path.
std::string unixPath(const std::string& windowsPath) {
    using ToUnix = char*(CDECL*)(const WCHAR*);
    const FARPROC entry = GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(entry));
    if (!toUnix) return {};
    std::wstring wide(windowsPath.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* path = toUnix(wide.c_str());
    if (!path) return {};
    std::string result = path;
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}

struct DataModelTest : ::testing::Test {
    TempFolder dir{"datamodel"};
    RecordingLog log;
    std::string connection;

    void SetUp() override {
        const std::string unix = unixPath(dir.path());
        if (unix.empty()) GTEST_SKIP() << "needs Wine's SQLite ODBC driver";
        connection = "DRIVER={SQLite3};Database=" + unix + "mail2xrv.mdb;NoCreat=0";
        OdbcEnvironment environment;
        OdbcConnection database(environment);
        database.driverConnect(connection);
        for (const TableDefinition& table : migrationTables(SqlDialect::kSqlite)) {
            OdbcStatement statement(database);
            statement.execDirect(std::string(table.create), true);
        }
        database.disconnect();
    }

    int count(const std::string& sql) {
        OdbcEnvironment environment;
        OdbcConnection database(environment);
        database.driverConnect(connection);
        OdbcStatement statement(database);
        statement.execDirect(sql, true);
        SQLINTEGER n = -1;
        if (statement.fetch(true)) statement.getLong(n, 1);
        return n;
    }
};

TEST_F(DataModelTest, RegistersOnceAndFindsTheGeneratedKeys) {
    {
        DataModel db(log, connection);
        ASSERT_TRUE(db.valid());
        EXPECT_EQ(db.serverId("pop.example.com"), 0);
        EXPECT_EQ(db.registerServer("pop.example.com"), 1);
        EXPECT_EQ(db.registerServer("pop.example.com"), 0);
        EXPECT_EQ(db.registerServer("other.example.com"), 1);
    }
    DataModel db(log, connection);
    const int server = db.serverId("pop.example.com");
    EXPECT_GT(server, 0);
    EXPECT_NE(db.serverId("other.example.com"), server);

    EXPECT_EQ(db.registerUser("alice", server), 1);
    EXPECT_EQ(db.registerUser("alice", server), 0);
    const int user = db.userId("alice", server);
    EXPECT_GT(user, 0);
    EXPECT_EQ(db.userId("alice", server + 1), 0);

    EXPECT_EQ(db.recordUidl(server, user, "00000001515c4b2e"), 1);
    EXPECT_EQ(db.recordUidl(server, user, "00000001515c4b2e"), 0);
    EXPECT_GT(db.uidlId(server, user, "00000001515c4b2e"), 0);
    EXPECT_EQ(db.uidlId(server, user, "never recorded"), 0);
    EXPECT_TRUE(log.lines.empty()) << log.lines.front();
    EXPECT_EQ(count("SELECT COUNT(*) FROM UIDLs"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM Users"), 1);
}

// Several sessions of one run at once, each with its own connection: the
// server they share is registered once (a second row would split the
// unique-ids between two server keys, and the next run would miss half of
// them), and their records all arrive.
TEST_F(DataModelTest, SessionsSideBySideRegisterTheirServerOnceAndLoseNoRecord) {
    constexpr int kSessions = 6;
    constexpr int kRecords = 20;
    std::atomic<int> ready{0};
    std::atomic<int> registered{0};
    std::vector<RecordingLog> logs(kSessions);
    std::vector<std::thread> sessions;
    for (int n = 0; n < kSessions; ++n) {
        sessions.emplace_back([&, n] {
            DataModel db(logs[n], connection);
            // All connected before any registers: as close together as the threads allow.
            ++ready;
            while (ready.load() < kSessions) std::this_thread::yield();
            registered += db.registerServer("pop.example.com");
            const int server = db.serverId("pop.example.com");
            const std::string user = "user" + std::to_string(n);
            db.registerUser(user, server);
            const int userId = db.userId(user, server);
            for (int r = 0; r < kRecords; ++r) db.recordUidl(server, userId, "uid-" + std::to_string(r));
        });
    }
    for (std::thread& t : sessions) t.join();
    for (const RecordingLog& l : logs) EXPECT_TRUE(l.lines.empty()) << l.lines.front();
    EXPECT_EQ(registered.load(), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM Servers"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM Users"), kSessions);
    EXPECT_EQ(count("SELECT COUNT(*) FROM UIDLs"), kSessions * kRecords);
}

TEST_F(DataModelTest, ValuesWithSingleQuotesRoundTripAndStayValues) {
    DataModel db(log, connection);
    const std::string name = "o'brien's server";
    EXPECT_EQ(db.registerServer(name), 1);
    const int server = db.serverId(name);
    ASSERT_GT(server, 0);
    const std::string user = "x' OR '1'='1";
    EXPECT_EQ(db.registerUser(user, server), 1);
    EXPECT_EQ(db.userId("x", server), 0);
    const int userKey = db.userId(user, server);
    ASSERT_GT(userKey, 0);
    const std::string uidl = "a'); DROP TABLE UIDLs; --";
    EXPECT_EQ(db.recordUidl(server, userKey, uidl), 1);
    EXPECT_GT(db.uidlId(server, userKey, uidl), 0);
    EXPECT_EQ(db.recordUidl(server, userKey, uidl), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM UIDLs WHERE Uidl='a''); DROP TABLE UIDLs; --'"), 1);

    // A value the driver cannot take whole is refused, and the object stays usable.
    EXPECT_EQ(db.registerServer(std::string("a\0b", 3)), 0);
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(db.valid());
    EXPECT_EQ(db.serverId(name), server);
}

TEST_F(DataModelTest, AnUnusableDatabaseLogsOncePerObjectAndAnswersZero) {
    const std::string missing = "DRIVER={SQLite3};Database=" + unixPath(dir.path()) + "absent/none.mdb;NoCreat=1";
    for (int use = 1; use <= 2; ++use) {
        DataModel db(log, missing);
        EXPECT_FALSE(db.valid());
        EXPECT_EQ(db.registerServer("s"), 0);
        EXPECT_EQ(db.serverId("s"), 0);
        EXPECT_EQ(db.registerUser("u", 1), 0);
        EXPECT_EQ(db.userId("u", 1), 0);
        EXPECT_EQ(db.recordUidl(1, 1, "x"), 0);
        EXPECT_EQ(db.uidlId(1, 1, "x"), 0);
        ASSERT_EQ(log.lines.size(), static_cast<std::size_t>(use));
        EXPECT_EQ(log.lines.back().rfind("DataModel Object State:", 0), 0u) << log.lines.back();
    }

    // A statement that fails (no such table) disables the object for the rest of its life.
    log.lines.clear();
    {
        OdbcEnvironment environment;
        OdbcConnection database(environment);
        database.driverConnect(connection);
        OdbcStatement(database).execDirect("DROP TABLE Users", true);
    }
    DataModel db(log, connection);
    EXPECT_EQ(db.registerServer("s"), 1);
    EXPECT_EQ(db.userId("u", 1), 0);
    EXPECT_FALSE(db.valid());
    EXPECT_EQ(db.serverId("s"), 0);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("Users"), std::string::npos) << log.lines[0];
}

}  // namespace
}  // namespace rvo
