#include "engine/core/store/stored_message_index.h"

#include <algorithm>
#include <cctype>

#include "engine/core/store/message_names.h"

namespace rvo {

namespace {

// Characters before the dateHex with a four-digit counter: stamp, counter, flags field.
constexpr std::size_t kFourDigitPrefix = 14 + 4 + kMessageFlagsField.size();

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

}  // namespace

void StoredMessageIndex::add(std::string_view fileName) {
    if (fileName.size() <= kMessageExtension.size()) return;
    const std::string_view stem = fileName.substr(0, fileName.size() - kMessageExtension.size());
    // A name can be stored only for the dateHex after its 35th character or
    // after its first flags field; isStoredMessageName keeps the last word.
    std::string candidates[2];
    if (stem.size() > kFourDigitPrefix) candidates[0] = upper(stem.substr(kFourDigitPrefix));
    if (const std::size_t flags = stem.find(kMessageFlagsField); flags != std::string_view::npos) {
        candidates[1] = upper(stem.substr(flags + kMessageFlagsField.size()));
    }
    if (candidates[1] == candidates[0]) candidates[1].clear();
    for (const std::string& hex : candidates) {
        if (!hex.empty() && isStoredMessageName(fileName, hex)) ++counts_[hex];
    }
}

int StoredMessageIndex::count(std::string_view dateHex) const {
    const auto found = counts_.find(upper(dateHex));
    return found == counts_.end() ? 0 : found->second;
}

}  // namespace rvo
