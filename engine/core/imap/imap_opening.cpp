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

ImapOpening::Event ImapOpening::onResponse(const ImapResponse& response) {
    const std::string_view line = response.front().bytes;
    status_ = ImapStatus::None;
    switch (step_) {
        case Step::Greeting:
            return isUntagged(line, "OK") ? Event::Greeted : Event::GreetingRefused;
        case Step::Login:
            return completion(line, "A000", Event::LoggedIn, Event::LoginRefused);
        case Step::List:
            if (isUntagged(line, "LIST")) {
                why_.clear();
                std::optional<ImapListEntry> entry = parseListResponse(response, why_);
                if (!entry) return Event::UnreadableFolder;
                folder_ = std::move(*entry);
                return Event::Folder;
            }
            return completion(line, "A001", Event::Listed, Event::ListRefused);
        case Step::Other:
            return Event::Other;
    }
    return Event::Other;
}

ImapOpening::Event ImapOpening::completion(std::string_view line, std::string_view tag, Event ok, Event refused) {
    status_ = taggedStatus(line, tag);
    switch (status_) {
        case ImapStatus::Ok:
            return ok;
        case ImapStatus::No:
        case ImapStatus::Bad:
            return refused;
        case ImapStatus::None:
            return isTagged(line) ? Event::OutOfStep : Event::Other;
    }
    return Event::Other;
}

}  // namespace rvo
