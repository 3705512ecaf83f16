#pragma once
// The batch program's log: one file a day in "logs" next to the program.
// The day's file stays open between lines (opening and closing it for every
// line cost more than the line itself); each line is appended at the end of
// the file and flushed at once, so other writers of the same file (another
// run, the library) interleave whole lines. The main thread and a session's
// worker share one object.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/win32/log/text_file.h"

namespace rvo {

class DailyLog {
public:
    // directory ends in a backslash; baseName is the program's name without extension.
    DailyLog(std::string directory, std::string baseName)
        : directory_(std::move(directory)), baseName_(std::move(baseName)), open_(std::make_unique<OpenFile>()) {}

    // Appends one line. A logs folder that cannot be created drops the line
    // silently; a file that cannot be opened throws rvo::Exception.
    void writeLog(unsigned long processId, std::string_view text) const;

    std::string folder() const { return directory_ + "logs"; }

private:
    struct OpenFile {
        std::mutex mutex;
        std::string path;
        TextFile file;
    };

    std::string directory_;
    std::string baseName_;
    std::unique_ptr<OpenFile> open_;
};

}  // namespace rvo
