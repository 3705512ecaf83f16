#pragma once
// How a session's connection to the server is protected. None is the plain
// TCP connection; Tls speaks TLS from the first byte (IMAPS, POP3S);
// StartTls greets in clear text, then asks for TLS (STARTTLS, STLS) before
// any credential is sent. Every protected connection verifies the server's
// certificate; there is no way to skip that.
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

enum class Security { None, Tls, StartTls, Unknown };

struct ConnectionSecurity {
    Security mode = Security::None;
    // A PEM file of further roots to trust besides the system's; empty: none.
    std::string caFile;
    // The value as configured, for the log line that refuses an Unknown one.
    std::string text;
};

// "" and "none" give None, "tls" Tls, "starttls" StartTls (letter case
// ignored); anything else is no mode at all.
std::optional<Security> parseSecurity(std::string_view text);

}  // namespace rvo
