#include "engine/core/log/log_format.h"

#include <cstdio>

#include "engine/core/log/log_text.h"

namespace rvo {

namespace {
std::string formatTime(const char* format, const std::tm& t) {
    char buffer[256] = {};
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &t);
    return std::string(buffer, n);
}
}  // namespace

std::string dailyLogFileName(const std::tm& localTime, std::string_view moduleBaseName) {
    std::string name = formatTime("%Y%m%d_", localTime);
    name.append(moduleBaseName);
    name.append(".log");
    return name;
}

std::string logLine(const std::tm& localTime, unsigned long processId, std::string_view text) {
    std::string line = formatTime("%m/%d/%Y %I:%M:%S %p ", localTime);
    char pid[32];
    std::snprintf(pid, sizeof pid, "[%lu] : ", processId);
    line.append(pid);
    line.append(singleLine(text));
    line.push_back('\n');
    return line;
}

std::string reportText(std::string_view objectName, std::string_view text) {
    std::string line;
    line.reserve(objectName.size() + 1 + text.size());
    line.append(objectName);
    line.push_back(' ');
    line.append(text);
    return line;
}

}  // namespace rvo
