#include "engine/win32/db/odbc_handle.h"

#include <cstring>

#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "engine/win32/log/system_error.h"

namespace rvo {

namespace {

constexpr const char* kInvalidHandle =
    "Failed to allocate an enviroment, connection statement or descriptor handle.";

void copyText(SQLCHAR* target, std::size_t capacity, const char* text) {
    std::strncpy(reinterpret_cast<char*>(target), text, capacity - 1);
    target[capacity - 1] = 0;
}

SQLCHAR* sqlText(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

}  // namespace

OdbcHandle::OdbcHandle(SQLSMALLINT type, SQLHANDLE parent) : parentHandle_(parent), handleType_(type) {
    clearDiagnostic();
    const SQLRETURN result = SQLAllocHandle(type, parent, &handle_);
    checkResult(result, true);
    // A failed allocation has no handle to hold its diagnostic.
    if (handle_ == SQL_NULL_HANDLE) throwSystemError(ERROR_INVALID_HANDLE, "%s", kInvalidHandle);
}

OdbcHandle::~OdbcHandle() {
    if (handle_ != SQL_NULL_HANDLE) {
        const SQLRETURN result = SQLFreeHandle(handleType_, handle_);
        if (SQL_SUCCEEDED(result)) handle_ = SQL_NULL_HANDLE;
    }
}

void OdbcHandle::clearDiagnostic() {
    std::memset(sqlState_, 0, sizeof sqlState_);
    nativeError_ = 0;
    std::memset(messageText_, 0, sizeof messageText_);
}

void OdbcHandle::checkResult(SQLRETURN result, bool throwOnError) {
    if (result == SQL_SUCCESS) return;
    if (result == SQL_SUCCESS_WITH_INFO) {
        readDiagnostic();
        return;
    }
    if (result == SQL_INVALID_HANDLE) throwSystemError(ERROR_INVALID_HANDLE, "%s", kInvalidHandle);
    if (readDiagnostic() && throwOnError) {
        throw Exception(formatBounded("State:%s,Native:%d,Message:%s", sqlState(), static_cast<int>(nativeError_),
                                      messageText()));
    }
}

bool OdbcHandle::readDiagnostic() {
    clearDiagnostic();
    const SQLRETURN result = SQLGetDiagRec(handleType_, handle_, 1, sqlState_, &nativeError_, messageText_,
                                           static_cast<SQLSMALLINT>(sizeof messageText_), nullptr);
    switch (result) {
        case SQL_SUCCESS:
            return true;
        case SQL_SUCCESS_WITH_INFO:
            copyText(messageText_, sizeof messageText_,
                     "When getting the diagnostic record. The MessageText buffer was too small to hold the "
                     "requested diagnostic message.");
            return false;
        case SQL_NO_DATA:
            copyText(messageText_, sizeof messageText_,
                     "When getting the diagnostic record. RecNumber was greater than the number of diagnostic "
                     "records that existed for the handle specified in Handle.");
            return false;
        case SQL_INVALID_HANDLE:
            copyText(messageText_, sizeof messageText_,
                     "When getting the diagnostic record. The handle indicated by HandleType and Handle was not a "
                     "valid handle.");
            return false;
        default:
            return false;
    }
}

OdbcEnvironment::OdbcEnvironment() : OdbcHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE) {
    checkResult(SQLSetEnvAttr(handle(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), true);
}

OdbcConnection::OdbcConnection(const OdbcEnvironment& environment)
    : OdbcHandle(SQL_HANDLE_DBC, environment.handle()) {}

OdbcConnection::~OdbcConnection() {
    if (!connected_) return;
    connected_ = false;
    // An invalid handle throws whatever the flag says; a destructor must not.
    try {
        checkResult(SQLDisconnect(handle()), false);
    } catch (...) {
    }
}

void OdbcConnection::driverConnect(const std::string& text) {
    checkResult(SQLDriverConnect(handle(), nullptr, sqlText(text), SQL_NTS, nullptr, 0, nullptr,
                                 SQL_DRIVER_NOPROMPT),
                true);
    connected_ = true;
}

void OdbcConnection::disconnect() {
    if (!connected_) return;
    connected_ = false;
    checkResult(SQLDisconnect(handle()), true);
}

OdbcStatement::OdbcStatement(const OdbcConnection& connection) : OdbcHandle(SQL_HANDLE_STMT, connection.handle()) {}

OdbcStatement::~OdbcStatement() { closeCursor(); }

void OdbcStatement::execDirect(const std::string& sql, bool throwOnError) {
    checkResult(SQLExecDirect(handle(), sqlText(sql), SQL_NTS), throwOnError);
}

bool OdbcStatement::fetch(bool throwOnError) {
    const SQLRETURN result = SQLFetch(handle());
    checkResult(result, throwOnError);
    return SQL_SUCCEEDED(result);
}

void OdbcStatement::getLong(SQLINTEGER& target, SQLUSMALLINT column) {
    checkResult(SQLGetData(handle(), column, SQL_C_LONG, &target, sizeof target, nullptr), true);
}

void OdbcStatement::closeCursor() {
    if (handle() != SQL_NULL_HANDLE) SQLCloseCursor(handle());
}

}  // namespace rvo
