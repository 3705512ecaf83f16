#include "engine/core/db/sql_text.h"

#include <array>
#include <cctype>

namespace rvo {

namespace {

std::string decimal(int value) { return std::to_string(value); }

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

constexpr std::array<TableDefinition, 3> kAccessTables{{
    {"Servers", "CREATE TABLE Servers ( ServerID COUNTER PRIMARY KEY, ServerTypeID INTEGER, Name TEXT(255) )",
     "CREATE INDEX ServerName ON Servers ( Name )"},
    {"Users", "CREATE TABLE Users ( UserID COUNTER PRIMARY KEY, ServerID INTEGER, Username TEXT(255) )",
     "CREATE INDEX UserLookup ON Users ( ServerID, Username )"},
    {"UIDLs",
     "CREATE TABLE UIDLs ( UidlID COUNTER PRIMARY KEY, ServerID INTEGER, UserID INTEGER, Uidl TEXT(255) )",
     "CREATE INDEX UidlLookup ON UIDLs ( ServerID, UserID, Uidl )"},
}};

// INTEGER PRIMARY KEY is SQLite's generated row key.
constexpr std::array<TableDefinition, 3> kSqliteTables{{
    {"Servers", "CREATE TABLE Servers ( ServerID INTEGER PRIMARY KEY, ServerTypeID INTEGER, Name VARCHAR(255) )",
     "CREATE INDEX ServerName ON Servers ( Name )"},
    {"Users", "CREATE TABLE Users ( UserID INTEGER PRIMARY KEY, ServerID INTEGER, Username VARCHAR(255) )",
     "CREATE INDEX UserLookup ON Users ( ServerID, Username )"},
    {"UIDLs",
     "CREATE TABLE UIDLs ( UidlID INTEGER PRIMARY KEY, ServerID INTEGER, UserID INTEGER, Uidl VARCHAR(255) )",
     "CREATE INDEX UidlLookup ON UIDLs ( ServerID, UserID, Uidl )"},
}};

}  // namespace

std::string sqlStringLiteral(std::string_view value) {
    std::string literal;
    literal.reserve(value.size() + 2);
    literal += '\'';
    for (const char c : value) {
        if (c == '\'') literal += '\'';
        literal += c;
    }
    literal += '\'';
    return literal;
}

bool isSqlTextValue(std::string_view value) { return value.find('\0') == std::string_view::npos; }

std::string selectServerSql(std::string_view name) {
    return "SELECT ServerID FROM Servers WHERE Name=" + sqlStringLiteral(name);
}

std::string insertServerSql(std::string_view name) {
    return "INSERT INTO Servers ( ServerTypeID, Name ) VALUES (1, " + sqlStringLiteral(name) + ")";
}

std::string selectUserSql(std::string_view username, int serverId) {
    return "SELECT UserID FROM Users WHERE Username=" + sqlStringLiteral(username) + " AND ServerID=" +
           decimal(serverId);
}

std::string insertUserSql(int serverId, std::string_view username) {
    return "INSERT INTO Users ( ServerID, Username ) VALUES (" + decimal(serverId) + ", " +
           sqlStringLiteral(username) + ")";
}

std::string selectUidlSql(int serverId, int userId, std::string_view uidl) {
    return "SELECT [UidlID] FROM UIDLs WHERE ServerID=" + decimal(serverId) + " And UserID=" + decimal(userId) +
           " And Uidl=" + sqlStringLiteral(uidl);
}

std::string rewriteUserSql(int userId) {
    return "UPDATE Users SET Username=Username WHERE UserID=" + decimal(userId);
}

std::string insertUidlSql(int serverId, int userId, std::string_view uidl) {
    return "INSERT INTO UIDLs ( ServerID, UserID, Uidl ) VALUES (" + decimal(serverId) + ", " + decimal(userId) +
           ", " + sqlStringLiteral(uidl) + ")";
}

std::string connectionText(const std::optional<std::string>& overrideText, std::string_view databasePath) {
    const std::string_view format = overrideText && !overrideText->empty()
                                        ? std::string_view(*overrideText)
                                        : kAccessConnectionFormat;
    // Not a printf format: the text comes from outside the program.
    std::string text;
    std::size_t from = 0;
    for (std::size_t at = format.find("%s"); at != std::string_view::npos; at = format.find("%s", from)) {
        text.append(format, from, at - from);
        text.append(databasePath);
        from = at + 2;
    }
    text.append(format, from);
    return text;
}

std::string databasePathBeside(std::string_view programPath) {
    const std::size_t cut = programPath.rfind('\\');
    if (cut == std::string_view::npos) return std::string(kDatabaseFileName);
    std::string path(programPath.substr(0, cut + 1));
    path += kDatabaseFileName;
    return path;
}

std::string_view connectionAttribute(std::string_view text, std::string_view key) {
    // Attributes are "key=value" pairs separated by ";"; a value may be braced.
    while (!text.empty()) {
        const std::size_t end = text.find(';');
        std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        if (!startsWithIgnoringCase(pair, key)) continue;
        std::string_view value = pair.substr(key.size());
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        if (value.empty() || value.front() != '=') continue;
        value.remove_prefix(1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '{')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '}')) value.remove_suffix(1);
        return value;
    }
    return {};
}

bool namesSqliteDriver(std::string_view text) { return startsWithIgnoringCase(connectionAttribute(text, "driver"), "sqlite"); }

std::string databaseNameIn(std::string_view text) {
    for (const std::string_view key : {"dbq", "database", "dsn"}) {
        if (const std::string_view value = connectionAttribute(text, key); !value.empty()) return std::string(value);
    }
    return "of the connection text";
}

std::span<const TableDefinition> migrationTables(SqlDialect dialect) {
    if (dialect == SqlDialect::kSqlite) return kSqliteTables;
    return kAccessTables;
}

}  // namespace rvo
