#pragma once
// What the session drivers share: one output for the log, the progress view
// and the session's end, and the command-line and memory helpers.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/core/log/log_sink.h"
#include "engine/core/session/progress_view.h"
#include "engine/core/session/session_observer.h"

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

inline unsigned long long peakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PeakWorkingSetSize : 0;
}

}  // namespace rvo::driver
