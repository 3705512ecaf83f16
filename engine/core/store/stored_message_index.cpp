#include "engine/core/store/stored_message_index.h"

#include <algorithm>

#include "engine/core/store/message_names.h"
#include "engine/core/text/ascii.h"

namespace rvo {

void StoredMessageIndex::add(std::string_view fileName) {
    const auto [afterPrefix, afterFlags] = storedDateHexCandidates(fileName);
    const std::string first = asciiUpperCopy(afterPrefix);
    const std::string second = asciiUpperCopy(afterFlags);
    // A name counts once, for each dateHex the duplicate rule accepts it for.
    if (!first.empty() && isStoredMessageName(fileName, first)) names_[first].emplace_back(fileName);
    if (!second.empty() && second != first && isStoredMessageName(fileName, second))
        names_[second].emplace_back(fileName);
}

int StoredMessageIndex::count(std::string_view dateHex) const { return static_cast<int>(names(dateHex).size()); }

const std::vector<std::string>& StoredMessageIndex::names(std::string_view dateHex) const {
    static const std::vector<std::string> kNone;
    const auto found = names_.find(asciiUpperCopy(dateHex));
    return found == names_.end() ? kNone : found->second;
}

}  // namespace rvo
