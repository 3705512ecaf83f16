#include "engine/core/imap/imap_command_runner.h"

#include <optional>
#include <utility>

namespace rvo {

ImapCommandRunner::ImapCommandRunner(Send send, std::size_t window) : send_(std::move(send)), commands_(window) {}

bool ImapCommandRunner::send(std::string_view tag, std::string_view bytes, Handler onCompleted) {
    if (!send_(bytes)) return false;
    commands_.push({std::string(tag), std::move(onCompleted), false});
    return true;
}

ImapCommandRunner::Match ImapCommandRunner::onTagged(std::string_view line) {
    ImapStatus status = ImapStatus::None;
    std::optional<Command> done = commands_.takeFirst([&](const Command& command) {
        status = taggedStatus(line, command.tag);
        return status != ImapStatus::None;
    });
    if (!done) return Match::OutOfStep;
    // Off the queue before the handler runs: it may send the next command.
    done->onCompleted(ImapCompletion{status, line, done->crossed});
    return Match::Completed;
}

void ImapCommandRunner::expungeArrived() {
    commands_.forEach([](Command& command) { command.crossed = true; });
}

}  // namespace rvo
