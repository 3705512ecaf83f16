#include "engine/core/db/reused_database.h"

namespace rvo {

namespace {

// A use of the shared connection; forwards every call to it.
class DatabaseUse : public MigrationDatabase {
public:
    explicit DatabaseUse(std::shared_ptr<MigrationDatabase> database) : database_(std::move(database)) {}

    int registerServer(const std::string& name) override { return database_->registerServer(name); }
    int registerUser(const std::string& username, int serverId) override {
        return database_->registerUser(username, serverId);
    }
    int recordUidl(int serverId, int userId, const std::string& uidl) override {
        return database_->recordUidl(serverId, userId, uidl);
    }
    int serverId(const std::string& name) override { return database_->serverId(name); }
    int userId(const std::string& username, int serverId) override { return database_->userId(username, serverId); }
    int uidlId(int serverId, int userId, const std::string& uidl) override {
        return database_->uidlId(serverId, userId, uidl);
    }
    bool usable() const override { return database_->usable(); }

private:
    std::shared_ptr<MigrationDatabase> database_;
};

}  // namespace

std::unique_ptr<MigrationDatabase> ReusedDatabase::use() {
    if (!current_ || !current_->usable()) current_ = std::shared_ptr<MigrationDatabase>(open_());
    return std::make_unique<DatabaseUse>(current_);
}

}  // namespace rvo
