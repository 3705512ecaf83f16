#include "library/win32/library_log.h"

#include <ctime>

#include "engine/core/log/log_format.h"
#include "engine/core/log/log_text.h"
#include "engine/win32/platform/module_path.h"
#include "library/core/call_arguments.h"

namespace rvo {

LibraryLog::LibraryLog(const std::string& path) {
    try {
        file_.open(path, "a");
    } catch (...) {
        return;  // no log, silently, for the life of the library
    }
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    writeRaw(kBanner);
    writeRaw("KELVAR Dll Log File [" + (local ? bannerDate(*local) : std::string()) + "]");
    writeRaw("");
}

LibraryLog::~LibraryLog() {
    if (!file_.isOpen()) return;
    writeRaw(kBanner);
    file_.close();
}

void LibraryLog::writeLogLine(std::string_view caption, std::string_view text) {
    std::string line;
    line.reserve(caption.size() + text.size() + 3);
    line += '[';
    line += caption;
    line += "] ";
    line += singleLine(text);
    writeRaw(line);
}

void LibraryLog::writeRaw(std::string_view line) {
    std::lock_guard lock(mutex_);
    if (!file_.isOpen()) return;
    file_.write(line);
    file_.write("\n");
    file_.flush();
}

std::string LibraryLog::hostLogPath() {
    std::string path = modulePath(nullptr);
    const std::size_t cut = path.rfind('\\');
    path.resize(cut == std::string::npos ? 0 : cut);
    return path + "\\kelvar.log";
}

}  // namespace rvo
