#pragma once
// The migration database as the sessions see it: which servers, users and
// POP3 unique-ids are known. An object is one connection, closed when the
// object goes; a database that cannot be used answers 0 to everything, so
// callers treat it as "nothing known, nothing recorded".
#include <functional>
#include <memory>
#include <string>

namespace rvo {

class MigrationDatabase {
public:
    virtual ~MigrationDatabase() = default;

    // 1 when the row was inserted now, 0 when it was there already or on failure.
    virtual int registerServer(const std::string& name) = 0;
    virtual int registerUser(const std::string& username, int serverId) = 0;
    virtual int recordUidl(int serverId, int userId, const std::string& uidl) = 0;

    // The row's key; 0 when there is none or on failure.
    virtual int serverId(const std::string& name) = 0;
    virtual int userId(const std::string& username, int serverId) = 0;
    virtual int uidlId(int serverId, int userId, const std::string& uidl) = 0;

    // True when a record could be written now: the user's row is rewritten
    // with its own value, which a read-only database refuses.
    virtual bool acceptsRecords(int userId) = 0;

    // False once the connection failed to open or broke; it is not used again.
    virtual bool usable() const { return true; }
    // Which database this is, for a log line; never a password.
    virtual std::string name() const { return {}; }
    // What the database said about its last failure; empty when none.
    virtual std::string lastError() const { return {}; }
};

// Opens the database for one use. Never null; failures to open are the
// database object's to report.
using MigrationDatabaseOpener = std::function<std::unique_ptr<MigrationDatabase>()>;

}  // namespace rvo
