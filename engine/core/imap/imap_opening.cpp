#include "engine/core/imap/imap_opening.h"

#include "engine/core/log/log_text.h"

namespace rvo {

namespace {
constexpr std::string_view kListLine = "A001 LIST \"\" \"*\"";

// The LOGIN line up to the password, which follows it.
std::string loginPrefix(const std::string& user) { return "A000 LOGIN " + user + " "; }
}  // namespace

std::optional<ImapCommand> ImapOpening::loginCommand(std::string_view user, std::string_view password) {
    const std::optional<std::string> u = imapAstring(user);
    const std::optional<std::string> p = imapAstring(password);
    if (!u || !p) return std::nullopt;
    return ImapCommand{loginPrefix(*u) + *p + "\r\n", loginPrefix(*u) + std::string(kMaskedSecret)};
}

CredentialMask ImapOpening::loginMask(std::string_view user, std::string_view password) {
    CredentialMask mask(password);
    const std::optional<std::string> u = imapAstring(user);
    const std::optional<std::string> p = imapAstring(password);
    if (u && p) mask.addSentCommand(loginPrefix(*u), *p);
    if (const std::optional<std::string> quoted = imapQuoted(password)) mask.addSentForm(*quoted);
    return mask;
}

ImapCommand ImapOpening::listCommand() { return {std::string(kListLine) + "\r\n", std::string(kListLine)}; }

}  // namespace rvo
