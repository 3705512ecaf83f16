// The log's password mask over any password and any text: the password set
// off by blanks is always masked, the LOGIN line as sent always ends masked,
// text of no form comes out unchanged, and a cut line stays within its bound.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_opening.h"
#include "engine/core/log/credential_mask.h"
#include "engine/core/log/log_text.h"

namespace {

bool onlySeparators(std::string_view text) {
    for (const char c : text)
        if (std::string_view(" \t\r\n\v\f\"'`()[]<>{}").find(c) == std::string_view::npos) return false;
    return true;
}

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string_view password = input.substr(0, std::min<std::size_t>(data[0] % 32, input.size()));
    const std::string_view text = input.substr(password.size());
    const rvo::CredentialMask mask = rvo::ImapOpening::loginMask("alice", password);
    const std::string masked = mask.apply(text);

    if (!onlySeparators(password)) {
        const std::string standing = mask.apply(std::string(text) + " " + std::string(password) + " ");
        // The place masked may take in the last blank when the password ends in blanks.
        check(standing.ends_with(std::string(rvo::kMaskedSecret) + " ") || standing.ends_with(rvo::kMaskedSecret));
    }
    if (const auto login = rvo::ImapOpening::loginCommand("alice", password)) {
        const std::string echo = mask.apply(std::string(text) + " " + login->bytes.substr(0, login->bytes.size() - 2));
        check(echo.ends_with(rvo::kMaskedSecret));
    }
    // Nothing masked: nothing changed.
    if (masked.find(rvo::kMaskedSecret) == std::string::npos &&
        text.find(rvo::kMaskedSecret) == std::string_view::npos)
        check(masked == text);

    const std::size_t limit = 1 + data[0] % 64;
    const std::string cut = mask.applyBounded(text, limit);
    if (text.size() <= limit && masked.size() <= limit)
        check(cut == masked);
    else
        check(cut.size() <= limit + 40 && cut.ends_with(" bytes in all)"));
    return 0;
}
