#pragma once
// A log sink that keeps "<object> <text>" lines for the test to read once
// the writers are done (sessions report from their worker threads).
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/log/log_sink.h"

namespace rvo::test {

class RecordingLog : public LogSink {
public:
    void report(std::string_view objectName, std::string_view text) override {
        std::lock_guard lock(mutex_);
        lines.push_back(std::string(objectName) + " " + std::string(text));
    }
    std::vector<std::string> lines;

private:
    std::mutex mutex_;
};

}  // namespace rvo::test
