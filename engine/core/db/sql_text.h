#pragma once
// The statements of the migration database and its connection text. The
// statement texts are fixed; values go in as SQL string literals (single
// quotes doubled) or signed decimals, so no value can change a statement.
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace rvo {

// The value between single quotes, every single quote inside doubled.
std::string sqlStringLiteral(std::string_view value);

// Text values must reach the driver as zero-terminated strings.
bool isSqlTextValue(std::string_view value);

std::string selectServerSql(std::string_view name);
std::string insertServerSql(std::string_view name);
std::string selectUserSql(std::string_view username, int serverId);
std::string insertUserSql(int serverId, std::string_view username);
// Writes the user's row with its own value: a probe that the database takes records.
std::string rewriteUserSql(int userId);
std::string selectUidlSql(int serverId, int userId, std::string_view uidl);
std::string insertUidlSql(int serverId, int userId, std::string_view uidl);

inline constexpr std::string_view kDatabaseFileName = "mail2xrv.mdb";
inline constexpr std::string_view kAccessConnectionFormat = "DRIVER={Microsoft Access Driver (*.mdb)};DBQ=%s";
// Environment variable whose text, when set and not empty, replaces the
// whole connection text; each "%s" in it stands for the database path.
inline constexpr const char* kConnectionOverrideVariable = "KELVAR_ODBC";

// The connection text for a database file: the override when given, else
// the Access driver's. Only "%s" is replaced; other percent signs stay.
std::string connectionText(const std::optional<std::string>& overrideText, std::string_view databasePath);

// The database file next to a program: its path cut at the last backslash
// (which goes too) and "\mail2xrv.mdb" appended; a bare name gives the
// file in the current directory.
std::string databasePathBeside(std::string_view programPath);

// The value of attribute `key` (any letter case) of a connection text,
// without braces; empty when the text has none.
std::string_view connectionAttribute(std::string_view connectionText, std::string_view key);

// True when a connection text names the SQLite ODBC driver (any of its
// names), so the tables are created in that engine's dialect.
bool namesSqliteDriver(std::string_view connectionText);

// The database a connection text opens, for a log line: its file (DBQ or
// Database) or data source name. Never the whole text, which may hold a
// password.
std::string databaseNameIn(std::string_view connectionText);

enum class SqlDialect { kAccess, kSqlite };

struct TableDefinition {
    std::string_view name;
    std::string_view create;  // CREATE TABLE
    std::string_view index;   // CREATE INDEX for the look-up, made with the table
};

// The three tables in creation order. Keys are generated on insert and read
// as 32-bit integers; text columns hold 255 characters (a longer unique-id
// is never recorded).
std::span<const TableDefinition> migrationTables(SqlDialect dialect);

}  // namespace rvo
