#include "engine/core/db/reused_database.h"

namespace rvo {

namespace {

// A use of the shared connection; forwards every call to it.
class DatabaseUse : public MigrationDatabase {
public:
    DatabaseUse(std::shared_ptr<MigrationDatabase> database, std::string earlierError)
        : database_(std::move(database)), earlierError_(std::move(earlierError)) {}

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
    bool acceptsRecords(int userId) override { return database_->acceptsRecords(userId); }
    bool usable() const override { return database_->usable(); }
    std::string name() const override { return database_->name(); }
    std::string lastError() const override {
        std::string text = database_->lastError();
        return text.empty() ? earlierError_ : text;
    }

private:
    std::shared_ptr<MigrationDatabase> database_;
    std::string earlierError_;
};

}  // namespace

std::unique_ptr<MigrationDatabase> ReusedDatabase::use() {
    if (!current_ || !current_->usable()) {
        if (current_ && !current_->lastError().empty()) lastError_ = current_->lastError();
        current_ = std::shared_ptr<MigrationDatabase>(open_());
    }
    return std::make_unique<DatabaseUse>(current_, lastError_);
}

}  // namespace rvo
