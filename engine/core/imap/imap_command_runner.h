#pragma once
// The commands of one IMAP4 conversation that the server has not answered
// yet, oldest first, each with the handler its completion runs.
//
// A completion belongs to the command in flight that carries its tag. One
// command at a time, the tags are fixed per kind of command ("A004" for every
// body fetch); with several in flight every command has a tag of its own,
// so a server may complete them in any order. Should two commands in flight
// share a tag, the oldest takes the completion. A tagged line that names no
// command in flight is out of step.
//
// At most `window` commands are in flight; 1 is the strict one-at-a-time
// dialogue. An EXPUNGE that arrives while a command is in flight may have
// been applied by the server before it ran it, under message numbers the
// client had not yet moved: the command is marked as crossed, and its owner
// decides what its answer is worth.
//
// The queue and its window are the CommandsInFlight every dialogue uses;
// what is IMAP's own here is the tags, the handlers and the EXPUNGE mark.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/session/commands_in_flight.h"

namespace rvo {

struct ImapCompletion {
    ImapStatus status = ImapStatus::None;
    std::string_view line;
    // An EXPUNGE arrived after the command was sent and before it was answered.
    bool crossedExpunge = false;
};

class ImapCommandRunner {
public:
    using Handler = std::function<void(const ImapCompletion&)>;
    // Writes a whole command line to the server; false when the connection failed.
    using Send = std::function<bool(std::string_view bytes)>;

    ImapCommandRunner(Send send, std::size_t window);

    std::size_t window() const { return commands_.window(); }
    std::size_t inFlight() const { return commands_.size(); }
    bool idle() const { return commands_.idle(); }
    bool hasRoom() const { return commands_.hasRoom(); }
    // How many commands were ever in flight at once.
    std::size_t mostInFlight() const { return commands_.mostInFlight(); }

    // Sends `bytes` (the whole line with its CR LF) as a command tagged `tag`.
    // False, with nothing queued, when the connection failed. The caller
    // keeps to the window: a command beyond it is still sent (LOGOUT after
    // an out-of-step answer) but never by the transfer's own scheduling.
    bool send(std::string_view tag, std::string_view bytes, Handler onCompleted);

    enum class Match { Completed, OutOfStep };
    // A tagged line: the completion of the (oldest) command in flight with
    // its tag (its handler has then run), else out of step.
    Match onTagged(std::string_view line);

    // "* n EXPUNGE" arrived: every command in flight is crossed.
    void expungeArrived();
    // Forgets every command in flight (the conversation is being abandoned).
    void forget() { commands_.forget(); }

private:
    struct Command {
        std::string tag;
        Handler onCompleted;
        bool crossed = false;
    };

    Send send_;
    CommandsInFlight<Command> commands_;
};

}  // namespace rvo
