#pragma once
// The IMAP dialogue's view of the message store: folder directories, their
// listings and record files, and one message file at a time, written under a
// temporary name and renamed only when complete.
#include "engine/core/imap/imap_dialogue.h"
#include "engine/win32/store/message_file.h"
#include "engine/win32/store/message_store.h"
#include "engine/win32/store/record_file.h"

namespace rvo {

class ImapFileStore : public ImapMailStore {
public:
    explicit ImapFileStore(MessageStore store) : store_(std::move(store)) {}

    std::string localFolderName(std::string_view serverName) override;
    std::string folderDirectory(std::string_view localName) override;
    bool ensureFolder(const std::string& directory, std::string& error) override;
    bool listFolder(const std::string& directory, std::vector<std::string>& names, std::string& error) override;
    bool readRecords(const std::string& directory, std::string& text, std::string& error) override;
    bool appendRecords(const std::string& directory, std::string_view lines, std::string& error) override;
    bool beginMessage(const std::string& directory, int counter, std::string_view dateHex,
                      std::string& error) override;
    bool writeMessage(std::string_view bytes, std::string& error) override;
    bool sameAsStored(const std::string& name, std::string& error) override;
    bool commitMessage(FileTime time, std::string& name, bool& stored, std::string& error) override;
    void abandonMessage() override;

private:
    MessageStore store_;
    MessageFile file_;
    std::string fileDirectory_;
    RecordAppender records_;
};

}  // namespace rvo
