#pragma once
// One connection to the migration database for a whole session. Opening a
// connection for every look-up and every record (two per POP3 message) cost
// more than the queries. A connection that failed to open or broke is dropped
// and the next use opens a new one, logging its failure as before, so a
// missing database is still reported at every use.
#include <memory>
#include <string>

#include "engine/core/db/migration_database.h"

namespace rvo {

class ReusedDatabase {
public:
    explicit ReusedDatabase(MigrationDatabaseOpener open) : open_(std::move(open)) {}

    // The session's connection, opened when there is none that works. The
    // object returned may outlive release(); when its connection has no
    // failure to tell, lastError() is that of a connection dropped before.
    std::unique_ptr<MigrationDatabase> use();
    // Closes the connection once the last use of it has gone.
    void release() { current_.reset(); }

private:
    MigrationDatabaseOpener open_;
    std::shared_ptr<MigrationDatabase> current_;
    std::string lastError_;
};

}  // namespace rvo
