#pragma once
// The batch program's log: one file a day in "logs" next to the program.
// Each line is opened, appended with one write and closed, so the main
// thread and a session's worker can both write without a lock.
#include <string>
#include <string_view>

namespace rvo {

class DailyLog {
public:
    // directory ends in a backslash; baseName is the program's name without extension.
    DailyLog(std::string directory, std::string baseName)
        : directory_(std::move(directory)), baseName_(std::move(baseName)) {}

    // Appends one line. A logs folder that cannot be created drops the line
    // silently; a file that cannot be opened throws rvo::Exception.
    void writeLog(unsigned long processId, std::string_view text) const;

    std::string folder() const { return directory_ + "logs"; }

private:
    std::string directory_;
    std::string baseName_;
};

}  // namespace rvo
