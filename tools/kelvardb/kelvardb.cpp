// kelvardb: creates the empty migration database, mail2xrv.mdb with the
// tables Servers, Users and UIDLs, in a given directory (or beside a given
// file, or beside this program). Tables that exist are kept, so running it
// again changes nothing.
//
// The connection text is the one the programs use (KELVAR_ODBC or the Access
// driver). With the Access driver a missing file is created by the driver;
// with the SQLite driver connecting creates it and the SQLite dialect is used.
#include <windows.h>

#include <odbcinst.h>

#include <cstdio>
#include <string>

#include "engine/core/db/sql_text.h"
#include "engine/core/text/exception.h"
#include "engine/win32/db/data_model.h"
#include "engine/win32/db/odbc_handle.h"
#include "engine/win32/platform/module_path.h"

namespace {

using namespace rvo;

constexpr const char* kAccessDriver = "Microsoft Access Driver (*.mdb)";

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string databasePathFor(const char* argument) {
    if (!argument) return migrationDatabasePath();
    std::string path = argument;
    if (isDirectory(path)) {
        if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
        return path + std::string(kDatabaseFileName);
    }
    return databasePathBeside(path);
}

// The Access driver makes a new empty .mdb file through its setup entry.
void createAccessFile(const std::string& path) {
    std::string attributes = "CREATE_DB=\"" + path + "\" General";
    attributes.push_back('\0');
    attributes.push_back('\0');
    if (SQLConfigDataSource(nullptr, ODBC_ADD_DSN, kAccessDriver, attributes.c_str())) return;
    DWORD code = 0;
    char message[SQL_MAX_MESSAGE_LENGTH] = {};
    WORD length = 0;
    SQLInstallerError(1, &code, message, sizeof message, &length);
    throw Exception(formatBounded("Could not create %s: %s (%lu)", path.c_str(), message,
                                  static_cast<unsigned long>(code)));
}

bool tableExists(const OdbcConnection& connection, std::string_view name) {
    OdbcStatement statement(connection);
    std::string table(name);
    char type[] = "TABLE";
    statement.checkResult(SQLTables(statement.handle(), nullptr, 0, nullptr, 0,
                                    reinterpret_cast<SQLCHAR*>(table.data()), SQL_NTS,
                                    reinterpret_cast<SQLCHAR*>(type), SQL_NTS),
                          true);
    return statement.fetch(true);
}

int createDatabase(const std::string& path) {
    const std::string text = migrationConnectionText(path);
    const bool sqlite = namesSqliteDriver(text);
    if (!sqlite && text.find(kAccessDriver) != std::string::npos && !exists(path)) {
        createAccessFile(path);
        std::printf("Created %s\n", path.c_str());
    }
    OdbcEnvironment environment;
    OdbcConnection connection(environment);
    connection.driverConnect(text);
    for (const TableDefinition& table : migrationTables(sqlite ? SqlDialect::kSqlite : SqlDialect::kAccess)) {
        if (tableExists(connection, table.name)) {
            std::printf("Table %.*s is there\n", static_cast<int>(table.name.size()), table.name.data());
            continue;
        }
        OdbcStatement statement(connection);
        statement.execDirect(std::string(table.create), true);
        statement.execDirect(std::string(table.index), true);
        std::printf("Created table %.*s\n", static_cast<int>(table.name.size()), table.name.data());
    }
    connection.disconnect();
    std::printf("Migration database ready: %s\n", path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "/?" || std::string(argv[1]) == "--help"))) {
        std::printf(
            "kelvardb [directory or file]\n"
            "Creates mail2xrv.mdb with its three tables in the directory (or beside the file,\n"
            "or beside kelvardb.exe). Existing tables are kept. KELVAR_ODBC, when set, is the\n"
            "connection text; \"%%s\" in it stands for the database path.\n");
        return argc > 2 ? 2 : 0;
    }
    const std::string path = databasePathFor(argc == 2 ? argv[1] : nullptr);
    try {
        return createDatabase(path);
    } catch (const Exception& e) {
        std::fprintf(stderr, "kelvardb: %s\n", e.text());
    } catch (...) {
        std::fprintf(stderr, "kelvardb: unknown error\n");
    }
    return 1;
}
