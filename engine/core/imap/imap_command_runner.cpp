#include "engine/core/imap/imap_command_runner.h"

#include <algorithm>
#include <utility>

namespace rvo {

ImapCommandRunner::ImapCommandRunner(Send send, std::size_t window)
    : send_(std::move(send)), window_(std::max<std::size_t>(window, 1)) {}

std::string_view ImapCommandRunner::oldestTag() const {
    return commands_.empty() ? std::string_view() : std::string_view(commands_.front().tag);
}

bool ImapCommandRunner::send(std::string_view tag, std::string_view bytes, Handler onCompleted) {
    if (!send_(bytes)) return false;
    commands_.push_back({std::string(tag), std::move(onCompleted), false});
    mostInFlight_ = std::max(mostInFlight_, commands_.size());
    return true;
}

ImapCommandRunner::Match ImapCommandRunner::onTagged(std::string_view line) {
    for (auto it = commands_.begin(); it != commands_.end(); ++it) {
        const ImapStatus status = taggedStatus(line, it->tag);
        if (status == ImapStatus::None) continue;
        // Off the queue before the handler runs: it may send the next command.
        Command done = std::move(*it);
        commands_.erase(it);
        done.onCompleted(ImapCompletion{status, line, done.crossed});
        return Match::Completed;
    }
    return Match::OutOfStep;
}

void ImapCommandRunner::expungeArrived() {
    for (Command& command : commands_) command.crossed = true;
}

}  // namespace rvo
