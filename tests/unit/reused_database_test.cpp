#include "engine/core/db/reused_database.h"

#include <gtest/gtest.h>

#include <memory>

namespace rvo {
namespace {

// A connection that counts what reaches it and can be told it broke.
struct FakeConnection : MigrationDatabase {
    explicit FakeConnection(int id, bool opens) : id(id), works(opens) {}
    int registerServer(const std::string&) override { return works ? ++calls, id : 0; }
    int registerUser(const std::string&, int) override { return 0; }
    int recordUidl(int, int, const std::string&) override { return 0; }
    int serverId(const std::string&) override { return id; }
    int userId(const std::string&, int) override { return 0; }
    int uidlId(int, int, const std::string&) override { return 0; }
    bool acceptsRecords(int) override { return works; }
    bool usable() const override { return works; }
    std::string lastError() const override { return error; }
    int id;
    bool works;
    std::string error;
    int calls = 0;
};

struct ReusedDatabaseTest : ::testing::Test {
    int opened = 0;
    bool nextOpens = true;
    FakeConnection* last = nullptr;
    ReusedDatabase database{[this] {
        auto connection = std::make_unique<FakeConnection>(++opened, nextOpens);
        last = connection.get();
        return connection;
    }};
};

TEST_F(ReusedDatabaseTest, OneConnectionServesEveryUseUntilItBreaks) {
    EXPECT_EQ(database.use()->registerServer("a"), 1);
    EXPECT_EQ(database.use()->serverId("a"), 1);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(last->calls, 1);

    last->works = false;  // e.g. a statement failed
    last->error = "State:HY000,Native:8,Message:attempt to write a readonly database";
    const auto next = database.use();
    EXPECT_EQ(next->serverId("a"), 2);
    EXPECT_EQ(opened, 2);
    // The new connection has nothing to say yet; the failure that dropped the old one is kept.
    EXPECT_EQ(next->lastError(), "State:HY000,Native:8,Message:attempt to write a readonly database");
    last->error = "State:08S01,Native:0,Message:link";
    EXPECT_EQ(next->lastError(), "State:08S01,Native:0,Message:link");
}

TEST_F(ReusedDatabaseTest, AConnectionThatDidNotOpenIsTriedAgainAtEveryUse) {
    nextOpens = false;
    EXPECT_EQ(database.use()->registerServer("a"), 0);
    EXPECT_EQ(database.use()->registerServer("a"), 0);
    EXPECT_EQ(opened, 2);  // each failed open reports itself, as before
    nextOpens = true;
    EXPECT_EQ(database.use()->registerServer("a"), 3);
    EXPECT_EQ(database.use()->registerServer("a"), 3);
    EXPECT_EQ(opened, 3);
}

TEST_F(ReusedDatabaseTest, ReleaseClosesAfterTheLastUseAndTheNextUseOpensAgain) {
    auto held = database.use();
    database.release();
    EXPECT_EQ(held->serverId("a"), 1);  // still alive while used
    held.reset();
    EXPECT_EQ(database.use()->serverId("a"), 2);
}

}  // namespace
}  // namespace rvo
