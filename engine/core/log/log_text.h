#pragma once
// What may reach a log line: one line (a log line that begins without its
// time stamp cannot be read back), of bounded length (a server can send a
// 10 MB greeting), and never the account's password (servers that echo a
// refused command send it back; see CredentialMask).
#include <cstddef>
#include <string>
#include <string_view>

namespace rvo {

// Server text and the session lines around it are cut to this many bytes.
inline constexpr std::size_t kMaxSessionLogText = 512;
// What stands in a log line where the password was.
inline constexpr std::string_view kMaskedSecret = "**********";

// Line breaks at the end are dropped; inside, CR LF, CR and LF become one blank.
std::string singleLine(std::string_view text);

// The first `limit` bytes and a note of the whole length when it is longer.
std::string boundedLogText(std::string_view text, std::size_t limit = kMaxSessionLogText);

}  // namespace rvo
