#pragma once
// What the session drivers share: one output for the log, the progress view
// and the session's end, the common options, the run skeleton, and the
// memory helper.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/core/log/log_sink.h"
#include "engine/core/net/session_timings.h"
#include "engine/core/session/progress_view.h"
#include "engine/core/session/session_observer.h"
#include "engine/core/settings/migration_settings.h"
#include "engine/core/text/exception.h"

namespace rvo::driver {

class Output : public LogSink, public ProgressView, public SessionObserver {
public:
    explicit Output(std::FILE* file) : file_(file), finished_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Output() override { CloseHandle(finished_); }

    void report(std::string_view objectName, std::string_view text) override {
        write(std::string(objectName) + " " + std::string(text));
    }
    void addLine(std::string_view text) override { write("SHOW " + std::string(text)); }
    void setCaption(std::string_view text) override {
        std::string oneLine(text);
        for (char& c : oneLine)
            if (c == '\n') c = '|';
        write("CAPTION " + oneLine);
    }
    void sessionFinished(int result) override {
        result_ = result;
        SetEvent(finished_);
    }

    void write(const std::string& line) {
        std::lock_guard lock(mutex_);
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    bool waitFinished(DWORD ms) const { return WaitForSingleObject(finished_, ms) == WAIT_OBJECT_0; }
    int result() const { return result_; }

private:
    std::FILE* file_;
    HANDLE finished_;
    std::mutex mutex_;
    int result_ = -1;
};

inline bool option(std::string_view arg, std::string_view name, std::string& value) {
    if (arg.substr(0, name.size()) != name || arg.size() <= name.size() || arg[name.size()] != '=') return false;
    value = arg.substr(name.size() + 1);
    return true;
}

// The options both drivers take, with the drivers' shortened waits.
struct DriverOptions {
    DriverOptions() {
        account.status = 0;
        timings.waitSliceMs = 1000;
        timings.extraTimeouts = 9;
    }
    MigrationSettings settings;
    AccountValues account;
    SessionTimings timings;
    int port = 0;
    std::string logPath;
};

// Reads the command line: the common options, then `own` for the driver's
// own ones (false: not one of them). False after naming an unknown argument.
inline bool parseOptions(int argc, char** argv, const char* program, DriverOptions& o,
                         const std::function<bool(std::string_view arg, std::string& value)>& own) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string v;
        if (option(arg, "--host", v)) o.settings.serverAddress = v;
        else if (option(arg, "--port", v)) o.port = std::atoi(v.c_str());
        else if (option(arg, "--user", v)) o.account.user = v;
        else if (option(arg, "--password", v)) o.account.password = v;
        else if (option(arg, "--mail-path", v)) o.settings.mailPath = v;
        else if (option(arg, "--domain", v)) o.account.domain = v;
        else if (option(arg, "--wait-ms", v)) o.timings.waitSliceMs = std::strtoul(v.c_str(), nullptr, 10);
        else if (option(arg, "--timeouts", v)) o.timings.extraTimeouts = std::atoi(v.c_str());
        else if (option(arg, "--log", v)) o.logPath = v;
        else if (!own(arg, v)) {
            std::fprintf(stderr, "%s: unknown argument %s\n", program, argv[i]);
            return false;
        }
    }
    if (!o.settings.mailPath.empty() && o.settings.mailPath.back() != '\\') o.settings.mailPath += '\\';
    return true;
}

// Starts the session as the programs do, waits up to `boundMs` for its end,
// stops it; the session's result.
template <typename Session>
int runSession(Session& session, Output& output, DWORD boundMs) {
    session.startThread();
    session.attachProgress(&output);
    session.resume();
    if (!output.waitFinished(boundMs)) output.write("DRIVER the session did not finish");
    session.stop();
    session.waitForEnd(INFINITE);
    return output.result();
}

// Gives `run` the output (the log file, or stdout), ends it with "RESULT n"
// and returns n; 2 when the log file cannot be opened.
inline int runDriver(const std::string& logPath, const std::function<int(Output&)>& run) {
    std::FILE* file = logPath.empty() ? stdout : std::fopen(logPath.c_str(), "ab");
    if (!file) return 2;
    int result = 1;
    {
        Output output(file);
        try {
            result = run(output);
        } catch (const rvo::Exception& e) {
            output.write(std::string("DRIVER ") + e.text());
        }
        output.write("RESULT " + std::to_string(result));
    }
    if (file != stdout) std::fclose(file);
    return result;
}

inline unsigned long long peakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PeakWorkingSetSize : 0;
}

}  // namespace rvo::driver
