#pragma once
// Base64 as SASL (RFC 4648 section 4, padded) and JWT (section 5, the URL
// alphabet without padding) use it. Decoding is strict: a server's
// challenge or a key file that is not exactly base64 is refused rather than
// read in some lenient way, and the caller says how much it will accept.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

// Standard alphabet, padded with '=' to a multiple of four characters.
std::string base64Encode(std::string_view bytes);

// URL alphabet ('-' and '_'), no padding: the JWT form.
std::string base64UrlEncode(std::string_view bytes);

// Standard alphabet with its padding: the length a multiple of four, '='
// only at the end and only as many as the last group needs, and the unused
// bits of the last group zero (so each byte string has one text). Empty for
// anything else, including any blank or line break, and for a text that
// would decode to more than maxBytes. "" decodes to "".
std::optional<std::string> base64Decode(std::string_view text, std::size_t maxBytes);

}  // namespace rvo
