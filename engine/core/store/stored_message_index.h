#pragma once
// The stored messages of one folder, counted by dateHex. Listing a folder for
// every message made the duplicate test slower with every message stored
// (a folder of 2000 messages halved the rate); the index is built from one
// listing and kept up to date as messages are stored.
#include <string>
#include <string_view>
#include <unordered_map>

namespace rvo {

class StoredMessageIndex {
public:
    // Counts the name under the dateHex it is stored for; other names
    // (temporary files, notes, other extensions) are ignored.
    void add(std::string_view fileName);
    // As many as isStoredMessageName accepts among the names added.
    int count(std::string_view dateHex) const;
    void clear() { counts_.clear(); }

private:
    std::unordered_map<std::string, int> counts_;  // upper-case dateHex
};

}  // namespace rvo
