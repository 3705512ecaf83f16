#pragma once
// One message being written. The bytes go to a temporary file that no
// duplicate test matches; only commit gives the file its message name, so
// an interrupted transfer never leaves anything that looks stored.
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/store/file_time.h"

namespace rvo {

class MessageFile {
public:
    MessageFile() = default;
    // Not committed: the temporary file is removed.
    ~MessageFile() { abandon(); }
    MessageFile(MessageFile&& other) noexcept;
    MessageFile& operator=(MessageFile&& other) noexcept;
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;

    // Creates the temporary file exclusively. On failure the result is not
    // open and error() tells why.
    static MessageFile create(std::string folderDirectory, const CivilTime& localNow, int counter,
                              std::string dateHex);

    // True from create until commit, abandon or a failed write.
    bool isOpen() const { return handle_ != nullptr; }

    // Bytes as they stand, any value included. False once anything failed;
    // the temporary file is then gone and error() tells why.
    bool write(std::string_view bytes);
    // The line's bytes and CR LF.
    bool writeLine(std::string_view line);

    // Writes what is buffered, dates the file with `time` (creation, access
    // and write time) when one is given, and gives it its message name. A
    // name that is taken is never reused: the counter goes up until a free
    // name is found. False (nothing stored, error() set) when any step failed.
    bool commit(std::optional<FileTime> time = std::nullopt);

    // True when the bytes written so far are those of the file at `path`,
    // leaving out the bookkeeping headers of mailbox-file servers
    // (MessageComparator). False with error set when either could not be read.
    bool sameContentAs(const std::string& path, std::string& error);

    // Closes and removes the temporary file.
    void abandon();

    // Deletes a message file this program committed moments ago, when what
    // it holds turned out not to be a message that may stay. False with
    // `error` set when the file is still there.
    static bool removeCommitted(const std::string& path, std::string& error);

    // The message file's full path: planned while open, final after commit.
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    bool flush();
    // False (and the temporary file removed) when the close failed.
    bool closeHandle();
    void fail(std::string error);

    void* handle_ = nullptr;
    std::string folder_;
    CivilTime stamp_;
    int counter_ = 0;
    std::string dateHex_;
    std::string path_;
    std::string temporaryPath_;
    std::string buffer_;
    std::string error_;
};

}  // namespace rvo
