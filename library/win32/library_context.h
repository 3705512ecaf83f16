#pragma once
// The library's one process-wide object, built when the library is loaded
// and destroyed when it is unloaded: Windows Sockets, the log, the module
// handle, the settings of the current call (and what earlier calls left),
// and the progress dialog that drives a migration.
#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "engine/core/net/session_timings.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/store/store_layout.h"
#include "library/win32/library_log.h"

namespace rvo {

class MigrationDialog;

// The library's framework exception: a text and the error number stored with it.
class KPWException {
public:
    KPWException(std::string text, unsigned long error) : text_(std::move(text)), error_(error) {}
    const std::string& text() const { return text_; }
    unsigned long error() const { return error_; }

private:
    std::string text_;
    unsigned long error_;
};

// The text for a failed start-up of Windows Sockets with this error.
const char* winsockStartupText(int error);

// Windows Sockets 1.1 for the life of the library. A failed start-up does
// not throw out of the library's load: the failure is kept and reported by
// every call.
class LibrarySockets {
public:
    LibrarySockets();
    ~LibrarySockets();
    LibrarySockets(const LibrarySockets&) = delete;
    LibrarySockets& operator=(const LibrarySockets&) = delete;
    const std::optional<KPWException>& failure() const { return failure_; }

private:
    bool started_ = false;
    std::optional<KPWException> failure_;
};

// Database errors of one call: each is logged, the first one is also shown
// in a box ("Error") that the worker waits on.
class DatabaseErrorLog : public LogSink {
public:
    explicit DatabaseErrorLog(LogSink& log) : log_(log) {}
    void report(std::string_view objectName, std::string_view text) override;
    void beginCall() { shown_ = false; }

private:
    LogSink& log_;
    std::atomic<bool> shown_{false};
};

struct CallSettings {
    std::string destinationPath;  // ends in a backslash
    std::string server;
    std::string user;
    std::string password;
    int port = 0;
    std::string excludedText;
    std::vector<std::string> excludedFolders;  // this call's own entries
    SystemFolderNames mappingNames;           // kept from call to call where not given
    int createEmpty = 0;
    int migrateDeleted = 0;
    int markDeleted = 0;
    int excludeContained = 0;
};

class LibraryContext {
public:
    LibraryContext();
    ~LibraryContext();
    LibraryContext(const LibraryContext&) = delete;
    LibraryContext& operator=(const LibraryContext&) = delete;

    void setModule(HINSTANCE module) { module_ = module; }
    HINSTANCE module() const { return module_; }

    LibraryLog& log() { return log_; }
    void writeLogLine(std::string_view caption, std::string_view text) { log_.writeLogLine(caption, text); }
    DatabaseErrorLog& databaseLog() { return databaseLog_; }
    const LibrarySockets& sockets() const { return sockets_; }

    CallSettings& call() { return call_; }
    // The engine's settings and account for the current call.
    MigrationSettings settings() const;
    AccountValues account() const;
    StoreLayout storeLayout() const { return StoreLayout::forDestination(call_.destinationPath); }
    const SessionTimings& timings() const { return timings_; }

    MigrationDialog& dialog() { return *dialog_; }

private:
    HINSTANCE module_ = nullptr;
    LibraryLog log_;
    CaptionedLog pop3Log_;
    DatabaseErrorLog databaseLog_;
    LibrarySockets sockets_;
    CallSettings call_;
    SessionTimings timings_;
    std::unique_ptr<MigrationDialog> dialog_;
};

// The one context; built by static construction when the library is loaded.
LibraryContext& libraryContext();

}  // namespace rvo
