#pragma once
// The clear-text steps of an upgraded connection: the server's greeting,
// then "S000 STARTTLS" (IMAP4) or "STLS" (POP3) and the server's answer.
// Nothing else is sent in clear text. A refusal, or a server that does not
// know the command, ends the account: there is no fallback to clear text.
//
// The dialogue starts once the encrypted channel is up, with the greeting
// as this class hands it over: an IMAP greeting loses a response code in
// brackets (a CAPABILITY list said in clear text cannot be trusted), a POP3
// greeting is kept as it was.
#include <string>
#include <string_view>

namespace rvo {

enum class UpgradeProtocol { Imap, Pop3 };

class TlsUpgrade {
public:
    enum class Step {
        Wait,     // nothing to do yet (untagged data, an empty line)
        Send,     // send command(): the greeting was positive
        Begin,    // the server agreed: every byte after its answer is discarded, then the handshake
        Refused,  // why() says what; the account ends
    };

    explicit TlsUpgrade(UpgradeProtocol protocol) : protocol_(protocol) {}

    // One line without its LF (an IMAP line may keep its CR).
    Step onLine(std::string_view line);

    // The command line with its CR LF (shown in the log as it is: it holds no secret).
    std::string command() const;
    // The greeting for the dialogue, with the line end the dialogue expects
    // removed (the caller's line assembler removed it too).
    const std::string& greeting() const { return greeting_; }
    const std::string& why() const { return why_; }
    bool finished() const { return state_ == State::Done; }

private:
    enum class State { AwaitGreeting, AwaitAnswer, Done };
    Step refuse(std::string why);

    UpgradeProtocol protocol_;
    State state_ = State::AwaitGreeting;
    std::string greeting_;
    std::string why_;
};

inline constexpr std::string_view kStartTlsTag = "S000";

}  // namespace rvo
