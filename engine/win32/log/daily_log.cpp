#include "engine/win32/log/daily_log.h"

#include <windows.h>

#include <ctime>

#include "engine/core/log/log_format.h"
#include "engine/win32/log/file_finder.h"
#include "engine/win32/log/text_file.h"

namespace rvo {

void DailyLog::writeLog(unsigned long processId, std::string_view text) const {
    const std::string logFolder = folder();
    if (!pathExists(logFolder) && !CreateDirectoryA(logFolder.c_str(), nullptr)) return;

    // One reading of the clock names the file and stamps the line.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* t = std::localtime(&now)) local = *t;

    const std::string path = logFolder + "\\" + dailyLogFileName(local, baseName_);
    TextFile file;
    file.open(path, "a");
    file.write(logLine(local, processId, text));
    file.close();
}

}  // namespace rvo
