#include "engine/core/store/stored_message_index.h"

#include <algorithm>

#include "engine/core/store/message_names.h"
#include "engine/core/text/ascii.h"

namespace rvo {

namespace {

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), asciiUpper);
    return out;
}

}  // namespace

void StoredMessageIndex::add(std::string_view fileName) {
    const auto [afterPrefix, afterFlags] = storedDateHexCandidates(fileName);
    const std::string first = upper(afterPrefix);
    const std::string second = upper(afterFlags);
    // A name counts once, for each dateHex the duplicate rule accepts it for.
    if (!first.empty() && isStoredMessageName(fileName, first)) ++counts_[first];
    if (!second.empty() && second != first && isStoredMessageName(fileName, second)) ++counts_[second];
}

int StoredMessageIndex::count(std::string_view dateHex) const {
    const auto found = counts_.find(upper(dateHex));
    return found == counts_.end() ? 0 : found->second;
}

}  // namespace rvo
