#pragma once
// The commands that open every IMAP4 conversation of the engine: LOGIN as
// the account (tag A000) and LIST of every folder (tag A001). The migration
// and the library's folder listing both send them through the IMAP driver,
// so each is written, and hidden in the log, in one place.
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/log/credential_mask.h"

namespace rvo {

// A command line to send and the way the log shows it.
struct ImapCommand {
    std::string bytes;  // with its CR LF
    std::string logged;
};

inline constexpr std::string_view kLoginNotSent =
    "The user name or password holds a line break or NUL byte; LOGIN is not sent";

class ImapOpening {
public:

    // The LOGIN command, or empty when the user or the password holds CR,
    // LF or NUL, which no IMAP string can carry. Each value goes as an atom
    // when it is one, as a quoted string otherwise; the log shows the user
    // as sent and never the password.
    static std::optional<ImapCommand> loginCommand(std::string_view user, std::string_view password);
    // What hides the password in the session's log: the echo of that LOGIN
    // line and the password as typed, as sent and as a quoted string (a
    // server may quote what it echoes).
    static CredentialMask loginMask(std::string_view user, std::string_view password);
    static ImapCommand listCommand();
};

}  // namespace rvo
