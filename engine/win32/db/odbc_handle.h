#pragma once
// Thin owners of ODBC handles. Every ODBC return code goes through
// checkResult: errors become rvo::Exception with the first diagnostic
// record, an invalid handle always throws, and a code without a diagnostic
// (a fetch past the last row) is an ordinary result.
//
// The ANSI entry points are called by their plain names (SQLDriverConnect,
// not SQLDriverConnectA): those are the ones every driver manager exports.
#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include <string>

namespace rvo {

class OdbcHandle {
public:
    // Allocates a handle of `type` under `parent`; throws rvo::Exception when
    // that fails.
    OdbcHandle(SQLSMALLINT type, SQLHANDLE parent);
    virtual ~OdbcHandle();
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;

    SQLHANDLE handle() const { return handle_; }

    // See the top of this file.
    void checkResult(SQLRETURN result, bool throwOnError);
    // Reads the first diagnostic record of this handle; false, with a
    // sentence in messageText for the known reasons, when there is none.
    bool readDiagnostic();

    const char* sqlState() const { return reinterpret_cast<const char*>(sqlState_); }
    SQLINTEGER nativeError() const { return nativeError_; }
    const char* messageText() const { return reinterpret_cast<const char*>(messageText_); }

private:
    void clearDiagnostic();

    SQLHANDLE handle_ = SQL_NULL_HANDLE;
    SQLHANDLE parentHandle_;
    SQLSMALLINT handleType_;
    SQLCHAR sqlState_[6];
    SQLINTEGER nativeError_;
    SQLCHAR messageText_[1100];
};

class OdbcEnvironment : public OdbcHandle {
public:
    // An ODBC 3 environment.
    OdbcEnvironment();
};

class OdbcConnection : public OdbcHandle {
public:
    explicit OdbcConnection(const OdbcEnvironment& environment);
    // Disconnects without throwing; call disconnect() first to learn of a failure.
    ~OdbcConnection() override;

    // SQLDriverConnect without prompting. The text must not hold a zero byte.
    void driverConnect(const std::string& text);
    // Throws when the driver refuses; the connection counts as closed anyway.
    void disconnect();
    bool connected() const { return connected_; }

private:
    bool connected_ = false;
};

class OdbcStatement : public OdbcHandle {
public:
    explicit OdbcStatement(const OdbcConnection& connection);
    ~OdbcStatement() override;

    void execDirect(const std::string& sql, bool throwOnError);
    // True when a row is there.
    bool fetch(bool throwOnError);
    // Column `column` (from 1) of the current row as a 32-bit integer.
    void getLong(SQLINTEGER& target, SQLUSMALLINT column);
    // Result ignored: there may be no cursor.
    void closeCursor();
};

}  // namespace rvo
