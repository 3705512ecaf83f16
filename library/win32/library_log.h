#pragma once
// The library's log: one file, kelvar.log, beside the host program (not the
// library), opened when the library is loaded and closed when it is
// unloaded. Every line is "[caption] text", written and flushed whole under
// a lock, so the caller's thread and a session's worker never mix their
// lines. A file that cannot be opened means no log, and no error.
#include <mutex>
#include <string>
#include <string_view>

#include "engine/core/log/log_sink.h"
#include "engine/win32/log/text_file.h"

namespace rvo {

class LibraryLog : public LogSink {
public:
    // Opens `path` for appending and writes the banner: 80 "*", the
    // "KELVAR Dll Log File [date]" line and an empty line.
    explicit LibraryLog(const std::string& path);
    // The closing line of 80 "*".
    ~LibraryLog() override;

    void writeLogLine(std::string_view caption, std::string_view text);
    // LogSink: the object's name is the caption.
    void report(std::string_view objectName, std::string_view text) override { writeLogLine(objectName, text); }

    bool isOpen() const { return file_.isOpen(); }

    // kelvar.log in the directory of the process's main module.
    static std::string hostLogPath();

private:
    void writeRaw(std::string_view line);

    std::mutex mutex_;
    TextFile file_;
};

// Every line under one caption, whichever engine object writes it.
class CaptionedLog : public LogSink {
public:
    CaptionedLog(LogSink& log, std::string_view caption) : log_(log), caption_(caption) {}
    void report(std::string_view, std::string_view text) override { log_.report(caption_, text); }

private:
    LogSink& log_;
    std::string_view caption_;
};

}  // namespace rvo
