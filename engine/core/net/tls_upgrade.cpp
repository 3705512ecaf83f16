#include "engine/core/net/tls_upgrade.h"

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/text/ascii.h"

namespace rvo {

namespace {

std::string_view withoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// "* OK [CAPABILITY ...] text" gives "* OK text".
std::string imapGreetingWithoutCode(std::string_view line) {
    std::string_view rest = line.substr(4);  // after "* OK"
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    }
    std::string greeting = "* OK";
    if (!rest.empty()) greeting.append(" ").append(rest);
    return greeting;
}

// The answer as logged: at most a line's worth of what the server said.
std::string quoted(std::string_view line) {
    constexpr std::size_t kShown = 200;
    std::string text = "\"" + std::string(line.substr(0, kShown)) + (line.size() > kShown ? "...\"" : "\"");
    return text;
}

}  // namespace

std::string TlsUpgrade::command() const {
    return protocol_ == UpgradeProtocol::Imap ? std::string(kStartTlsTag) + " STARTTLS\r\n" : "STLS\r\n";
}

TlsUpgrade::Step TlsUpgrade::refuse(std::string why) {
    state_ = State::Done;
    why_ = std::move(why);
    return Step::Refused;
}

TlsUpgrade::Step TlsUpgrade::onLine(std::string_view raw) {
    const std::string_view line = withoutCarriageReturn(raw);
    switch (state_) {
        case State::AwaitGreeting:
            if (protocol_ == UpgradeProtocol::Imap) {
                if (!isUntagged(line, "OK"))
                    return refuse("The server's greeting is not \"* OK\" (" + quoted(line) + "); STARTTLS is not sent");
                greeting_ = imapGreetingWithoutCode(line);
                if (raw.size() != line.size()) greeting_.push_back('\r');
            } else {
                if (line.empty()) return Step::Wait;
                if (line.front() != '+')
                    return refuse("The server's greeting is negative (" + quoted(line) + "); STLS is not sent");
                greeting_ = std::string(line);
            }
            state_ = State::AwaitAnswer;
            return Step::Send;
        case State::AwaitAnswer:
            if (protocol_ == UpgradeProtocol::Imap) {
                switch (taggedStatus(line, kStartTlsTag)) {
                    case ImapStatus::Ok:
                        state_ = State::Done;
                        return Step::Begin;
                    case ImapStatus::No:
                    case ImapStatus::Bad:
                        return refuse("The server refused STARTTLS (" + quoted(line) +
                                      "); nothing is sent in clear text, the account is not migrated");
                    case ImapStatus::None:
                        if (isTagged(line))
                            return refuse("The server answered STARTTLS out of step (" + quoted(line) +
                                          "); the account is not migrated");
                        return Step::Wait;
                }
                return Step::Wait;
            }
            if (line.empty()) return Step::Wait;
            if (equalsIgnoringCase(line.substr(0, 3), "+OK")) {
                state_ = State::Done;
                return Step::Begin;
            }
            return refuse("The server refused STLS (" + quoted(line) +
                          "); nothing is sent in clear text, the account is not migrated");
        case State::Done:
            return Step::Wait;
    }
    return Step::Wait;
}

}  // namespace rvo
