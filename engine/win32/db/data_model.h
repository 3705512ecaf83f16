#pragma once
// The migration database over ODBC: made for one use, it opens its own
// connection, answers up to a few look-ups and disconnects when destroyed.
// Every failure is logged under "DataModel Object"; an ODBC failure makes
// the object unusable, so its remaining operations answer 0 at once.
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/db/migration_database.h"
#include "engine/core/log/log_sink.h"
#include "engine/win32/db/odbc_handle.h"

namespace rvo {

class DataModel : public MigrationDatabase {
public:
    static constexpr const char* kLogName = "DataModel Object";

    // Connects with `connectionText`; never throws. `log` must outlive the object.
    DataModel(LogSink& log, const std::string& connectionText);
    ~DataModel() override;

    bool valid() const { return valid_; }
    bool usable() const override { return valid_; }
    std::string name() const override { return name_; }
    std::string lastError() const override { return lastError_; }
    bool acceptsRecords(int userId) override;

    int registerServer(const std::string& name) override;
    int serverId(const std::string& name) override;
    int registerUser(const std::string& username, int serverId) override;
    int userId(const std::string& username, int serverId) override;
    int recordUidl(int serverId, int userId, const std::string& uidl) override;
    int uidlId(int serverId, int userId, const std::string& uidl) override;

private:
    // The query, and the insert when the query finds no row: 1 when inserted.
    int registerRow(std::string_view value, const std::string& query, const std::string& insert);
    // Column 1 of the query's first row, 0 when there is none.
    int readKey(std::string_view value, const std::string& query);
    bool acceptsValue(std::string_view value);
    void report(std::string_view text) {
        lastError_ = text;
        log_.report(kLogName, text);
    }

    LogSink& log_;
    std::optional<OdbcEnvironment> environment_;
    std::optional<OdbcConnection> connection_;
    bool valid_ = false;
    std::string name_;
    std::string lastError_;
};

// mail2xrv.mdb next to the running program.
std::string migrationDatabasePath();
// The connection text for that file: KELVAR_ODBC when it is set and not
// empty (each "%s" replaced by the path), else the Access driver's.
std::string migrationConnectionText(const std::string& databasePath);
// Opens a DataModel per use with one connection text.
MigrationDatabaseOpener dataModelOpener(LogSink& log, std::string connectionText);

}  // namespace rvo
