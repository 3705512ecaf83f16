#pragma once
// The record file of a folder directory (kRecordFileName): read whole, within
// a bound, and appended to one batch of lines at a time.
#include <string>
#include <string_view>

#include "engine/win32/platform/file_handle.h"

namespace rvo {

// `text` is empty when the directory has no record file. False with the
// reason when it cannot be read or is larger than kMaxRecordFileSize.
bool readRecordFile(const std::string& folderDirectory, std::string& text, std::string& error);

// Appends to the record file of one directory at a time. The file stays open
// between appends (an open per message was a tenth of the time of a small
// message under Wine); every append goes to the file at once, so a crash of
// the process loses no line written before it.
class RecordAppender {
public:
    bool append(const std::string& folderDirectory, std::string_view lines, std::string& error);

private:
    FileHandle file_;
    std::string directory_;
};

}  // namespace rvo
