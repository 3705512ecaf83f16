#pragma once
// A whole file replaced at once: the bytes go to a temporary file in the
// same folder, which is flushed and then renamed over the file. A crash or a
// full disk leaves either the previous file or the new one whole, never a
// file cut short, so a reader (or the next run) always finds a valid one.
#include <string>
#include <string_view>

#include "engine/win32/platform/file_handle.h"

namespace rvo {

enum class WholeFileResult { Ok, CannotWrite, CannotReplace };

// The temporary file: removed when it goes out of scope unless commit() has
// renamed it over the target.
class ReplacingFile {
public:
    // Opens `target` + ".tmp", replacing any such file an earlier crash left.
    explicit ReplacingFile(std::string target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool opened() const { return file_.valid(); }
    bool write(std::string_view bytes);
    // Flushes, closes and renames over the target.
    WholeFileResult commit();

private:
    std::string target_;
    std::string temporary_;
    FileHandle file_;
    bool committed_ = false;
};

// The whole of `bytes` as the file `path`; the folder that holds it is made
// when it is missing (one level).
WholeFileResult writeWholeFile(const std::string& path, std::string_view bytes);

}  // namespace rvo
