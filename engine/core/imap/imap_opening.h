#pragma once
// The opening that every IMAP4 dialogue of the engine shares: the server's
// greeting, LOGIN as the account (tag A000) and LIST of every folder (tag
// A001). The migration goes on to walk the folders, the library's folder
// listing logs out; both read the server's answers to these commands here,
// so an answer means the same to both.
//
// One command is in flight at a time. Each complete response is classified
// against it: its completion by tag and status, whatever text follows;
// a LIST response as the folder it names; a completion of any other
// command as out of step.
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
    enum class Step { Greeting, Login, List, Other };
    enum class Event {
        Other,             // nothing the opening knows: untagged data, or any line outside its steps
        Greeted,           // "* OK ...": LOGIN may be sent
        GreetingRefused,   // the first response is anything else ("* BYE", "* PREAUTH", ...)
        LoggedIn,          // A000 OK
        LoginRefused,      // A000 NO or BAD (status() says which)
        Folder,            // a "* LIST" response: folder() holds it
        UnreadableFolder,  // a "* LIST" response that does not parse: why() says why
        Listed,            // A001 OK
        ListRefused,       // A001 NO or BAD
        OutOfStep,         // a completion of a command that is not in flight
    };

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

    // What the dialogue has sent: the step whose answers come next. Other:
    // a command of the dialogue's own, answered outside the opening.
    void inFlight(Step step) { step_ = step; }
    Step step() const { return step_; }

    Event onResponse(const ImapResponse& response);

    const ImapListEntry& folder() const { return folder_; }
    const std::string& why() const { return why_; }
    ImapStatus status() const { return status_; }

private:
    Event completion(std::string_view line, std::string_view tag, Event ok, Event refused);

    Step step_ = Step::Greeting;
    ImapListEntry folder_;
    std::string why_;
    ImapStatus status_ = ImapStatus::None;
};

}  // namespace rvo
