#include "engine/win32/log/daily_log.h"

#include <windows.h>

#include <ctime>

#include "engine/core/log/log_format.h"
#include "engine/win32/log/file_finder.h"

namespace rvo {

void DailyLog::writeLog(unsigned long processId, std::string_view text) const {
    std::lock_guard lock(open_->mutex);

    // One reading of the clock names the file and stamps the line.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* t = std::localtime(&now)) local = *t;

    const std::string logFolder = folder();
    const std::string path = logFolder + "\\" + dailyLogFileName(local, baseName_);
    TextFile& file = open_->file;
    if (!file.isOpen() || open_->path != path) {
        file.close();
        open_->path.clear();
        if (!pathExists(logFolder) && !CreateDirectoryA(logFolder.c_str(), nullptr)) return;
        file.open(path, "a");  // throws
        open_->path = path;
    }
    const std::string line = logLine(local, processId, text);
    // A line that did not reach the file closes it: the next line opens it
    // again, and fails loudly if it cannot.
    if (file.write(line) != line.size() || !file.flush()) {
        file.close();
        open_->path.clear();
    }
}

}  // namespace rvo
