#pragma once
// What one side of a session (its dialogue, or the connection under it)
// learned about how the session ends: the first decisive cause, and the
// server's last refusal line. Portable; the session merges the two sides
// into its SessionEnding once the worker is done (settleEnding).
//
// The first cause noted stays: a connection that drops after a message
// could not be stored is still a store failure, since that is what the next
// attempt would meet first.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/session/migration_tally.h"
#include "engine/core/session/session_ending.h"

namespace rvo {

class EndingRecord {
public:
    // The cause, unless one was noted before; `detail` (the server's line,
    // the failing step's words) follows the cause's text in the reason.
    void note(SessionEnd end, std::string_view detail = {});
    // A NO, BAD, BYE or -ERR line from the server: the latest is kept, cut
    // to kMaxEndingText, without its line end.
    void noteRefusal(std::string_view line);

    bool decided() const { return end_.has_value(); }
    std::optional<SessionEnd> end() const { return end_; }
    // "<cause's text>: <detail>", cut to kMaxEndingText.
    const std::string& reason() const { return reason_; }
    const std::string& lastRefusal() const { return lastRefusal_; }

private:
    std::optional<SessionEnd> end_;
    std::string reason_;
    std::string lastRefusal_;
};

// The line without a trailing CR LF, LF or CR.
std::string_view withoutLineEnd(std::string_view line);

// How the session ended: Completed when the dialogue ended normally
// (`result` 0); otherwise the dialogue's cause, else the connection's (the
// dialogue's comes first: what the server said before it closed explains
// the close), else Failed with the tally's first reason. The counts come from
// the tally. Texts are as given: the caller masks them.
SessionEnding settleEnding(int result, const EndingRecord& dialogue, const EndingRecord& connection,
                           const MigrationTally& tally);

}  // namespace rvo
