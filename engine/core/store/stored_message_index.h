#pragma once
// The stored messages of one folder, by dateHex. Listing a folder for every
// message made the duplicate test slower with every message stored (a folder
// of 2000 messages halved the rate); the index is built from one listing and
// kept up to date as messages are stored.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace rvo {

class StoredMessageIndex {
public:
    // Files the name under the dateHex it is stored for; other names
    // (temporary files, records, notes, other extensions) are ignored.
    void add(std::string_view fileName);
    // As many as isStoredMessageName accepts among the names added.
    int count(std::string_view dateHex) const;
    // Those names, in the order they were added.
    const std::vector<std::string>& names(std::string_view dateHex) const;
    void clear() { names_.clear(); }

private:
    std::unordered_map<std::string, std::vector<std::string>> names_;  // by upper-case dateHex
};

}  // namespace rvo
