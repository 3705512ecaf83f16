#include "engine/win32/db/data_model.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/core/db/sql_text.h"
#include "engine/core/text/exception.h"
#include "engine/win32/platform/module_path.h"

namespace rvo {

namespace {
constexpr std::string_view kUnknownError = "Unknown Error in Data Model";

// The sessions of one process take turns at the database. Two reasons: a
// look-up and the insert after it must be one step, or two sessions
// registering the same server at once would both find it missing and both
// insert it, and the unique-ids recorded under the one row would not be
// found under the other on the next run; and a driver that finds the file
// locked by another connection sleeps before it tries again, so sessions
// writing side by side wait longer in those sleeps than they would in turn.
std::mutex& databaseTurn() {
    static std::mutex turn;
    return turn;
}
}  // namespace

DataModel::DataModel(LogSink& log, const std::string& connectionText)
    : log_(log), name_(databaseNameIn(connectionText)) {
    try {
        environment_.emplace();
        connection_.emplace(*environment_);
        valid_ = true;
        if (!isSqlTextValue(connectionText)) throw Exception("The connection text holds a zero byte");
        connection_->driverConnect(connectionText);
    } catch (const Exception& e) {
        report(e.text());
        valid_ = false;
    } catch (...) {
        report(kUnknownError);
        valid_ = false;
    }
}

DataModel::~DataModel() {
    // A destructor cannot throw: a failed disconnect is logged here.
    try {
        if (connection_) connection_->disconnect();
    } catch (const Exception& e) {
        report(e.text());
    } catch (...) {
        report(kUnknownError);
    }
}

bool DataModel::acceptsValue(std::string_view value) {
    if (isSqlTextValue(value)) return true;
    report("A value with a zero byte cannot be looked up or stored");
    return false;
}

int DataModel::registerRow(std::string_view value, const std::string& query, const std::string& insert) {
    if (!valid_ || !acceptsValue(value)) return 0;
    const std::lock_guard turn(databaseTurn());
    try {
        OdbcStatement statement(*connection_);
        statement.execDirect(query, true);
        const bool found = statement.fetch(true);
        statement.closeCursor();
        if (found) return 0;
        statement.execDirect(insert, true);
        return 1;
    } catch (const Exception& e) {
        report(e.text());
        valid_ = false;
    } catch (...) {
        report(kUnknownError);
    }
    return 0;
}

int DataModel::readKey(std::string_view value, const std::string& query) {
    if (!valid_ || !acceptsValue(value)) return 0;
    SQLINTEGER key = 0;
    const std::lock_guard turn(databaseTurn());
    try {
        OdbcStatement statement(*connection_);
        statement.execDirect(query, true);
        if (statement.fetch(true)) statement.getLong(key, 1);
        statement.closeCursor();
    } catch (const Exception& e) {
        report(e.text());
        valid_ = false;
        return static_cast<int>(key);
    } catch (...) {
        report(kUnknownError);
        return 0;
    }
    return static_cast<int>(key);
}

bool DataModel::acceptsRecords(int userId) {
    if (!valid_) return false;
    const std::lock_guard turn(databaseTurn());
    try {
        OdbcStatement statement(*connection_);
        statement.execDirect(rewriteUserSql(userId), true);
        return true;
    } catch (const Exception& e) {
        report(e.text());
        valid_ = false;
    } catch (...) {
        report(kUnknownError);
        valid_ = false;
    }
    return false;
}

int DataModel::registerServer(const std::string& name) {
    return registerRow(name, selectServerSql(name), insertServerSql(name));
}

int DataModel::serverId(const std::string& name) { return readKey(name, selectServerSql(name)); }

int DataModel::registerUser(const std::string& username, int serverId) {
    return registerRow(username, selectUserSql(username, serverId), insertUserSql(serverId, username));
}

int DataModel::userId(const std::string& username, int serverId) {
    return readKey(username, selectUserSql(username, serverId));
}

int DataModel::recordUidl(int serverId, int userId, const std::string& uidl) {
    return registerRow(uidl, selectUidlSql(serverId, userId, uidl), insertUidlSql(serverId, userId, uidl));
}

int DataModel::uidlId(int serverId, int userId, const std::string& uidl) {
    return readKey(uidl, selectUidlSql(serverId, userId, uidl));
}

std::string migrationDatabasePath() { return moduleDirectory() + std::string(kDatabaseFileName); }

std::string migrationConnectionText(const std::string& databasePath) {
    std::optional<std::string> override;
    std::vector<char> buffer(256);
    for (;;) {
        const DWORD n = GetEnvironmentVariableA(kConnectionOverrideVariable, buffer.data(),
                                                static_cast<DWORD>(buffer.size()));
        if (n == 0) break;
        if (n < buffer.size()) {
            override.emplace(buffer.data(), n);
            break;
        }
        buffer.resize(n);
    }
    return connectionText(override, databasePath);
}

MigrationDatabaseOpener dataModelOpener(LogSink& log, std::string connectionText) {
    return [&log, text = std::move(connectionText)]() -> std::unique_ptr<MigrationDatabase> {
        return std::make_unique<DataModel>(log, text);
    };
}

}  // namespace rvo
