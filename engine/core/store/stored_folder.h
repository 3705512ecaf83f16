#pragma once
// What one folder directory holds, as the store decision needs it: the stored
// message files by dateHex and the records of which server message each
// holds. Several server folders may share the directory ("Work" and "work"
// on Windows, or a folder mapped onto a system folder's local name); the
// records keep their messages apart.
//
// The decision it supports never under-fetches: a message counts as stored
// only through a record naming that very message and a file that is still
// there. Everything else is fetched, and before its file is committed it is
// compared with the `candidates`, the slot's files that may already hold it
// (left by a run whose records were lost, or by an earlier version).
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/core/store/message_records.h"
#include "engine/core/store/stored_message_index.h"

namespace rvo {

class StoredFolder {
public:
    // From one listing of the directory (file names) and its record file's text.
    void load(const std::vector<std::string>& fileNames, std::string_view recordText);
    void clear();
    // A message file committed in this run.
    void addFile(std::string_view fileName);
    void addRecord(const MessageRecord& record);

    // The file the records tie to this message, while it is still there; null otherwise.
    const std::string* fileHolding(const MessageIdentity& id) const;

    // True for a server folder the server still lists in this run.
    using FolderListed = std::function<bool(std::string_view serverFolder)>;
    // The stored files of that dateHex that may hold the message: all of them
    // but those the records tie to another message of the same folder (same
    // UIDVALIDITY, another UID), or to a message of another folder the server
    // still lists.
    std::vector<std::string> candidates(std::string_view dateHex, const MessageIdentity& id,
                                        const FolderListed& listed) const;

private:
    using Key = std::tuple<std::string, std::uint32_t, std::uint32_t>;
    bool present(std::string_view fileName) const;

    StoredMessageIndex index_;
    std::unordered_set<std::string> present_;  // upper-case names: Windows ignores letter case
    std::map<Key, std::string> fileById_;
    std::unordered_map<std::string, std::vector<MessageIdentity>> idsByFile_;  // by upper-case name
};

}  // namespace rvo
