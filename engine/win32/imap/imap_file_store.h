#pragma once
// The IMAP dialogue's view of the message store: folder directories, the
// duplicate count and one message file at a time, written under a temporary
// name and renamed only when complete. The duplicate count comes from one
// listing of the folder, kept up to date as this session stores messages
// (the session is the folder's only writer while it runs).
#include "engine/core/imap/imap_dialogue.h"
#include "engine/core/store/stored_message_index.h"
#include "engine/win32/store/message_file.h"
#include "engine/win32/store/message_store.h"

namespace rvo {

class ImapFileStore : public ImapMailStore {
public:
    explicit ImapFileStore(MessageStore store) : store_(std::move(store)) {}

    std::string localFolderName(std::string_view serverName) override;
    std::string folderDirectory(std::string_view localName) override;
    bool ensureFolder(const std::string& directory, std::string& error) override;
    int countStored(const std::string& directory, std::string_view dateHex) override;
    bool beginMessage(const std::string& directory, int counter, std::string_view dateHex,
                      std::string& error) override;
    bool writeMessage(std::string_view bytes, std::string& error) override;
    bool commitMessage(FileTime time, bool& stored, std::string& error) override;
    void abandonMessage() override;

private:
    // The folder whose stored messages index_ counts.
    void indexFolder(const std::string& directory);

    MessageStore store_;
    MessageFile file_;
    std::string fileDirectory_;
    std::string indexedDirectory_;
    bool indexed_ = false;
    StoredMessageIndex index_;
};

}  // namespace rvo
