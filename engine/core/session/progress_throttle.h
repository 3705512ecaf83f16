#pragma once
// Keeps progress display from costing more than the migration itself. Every
// update is a round trip to the dialog's thread and a repaint there; with
// small messages (a line and a caption each) that took most of the time.
// After one update, whatever comes within the interval is held and shown
// together when the interval is over: nothing is dropped, lines keep their
// order, and of the captions only the newest is shown.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/session/progress_view.h"

namespace rvo {

class ProgressThrottle : public ProgressView {
public:
    // Milliseconds from any fixed point; must not go backwards.
    using Clock = std::function<std::uint64_t()>;

    // intervalMs 0 passes everything on at once.
    ProgressThrottle(ProgressView& target, std::uint64_t intervalMs, Clock clock)
        : target_(target), intervalMs_(intervalMs), clock_(std::move(clock)) {}

    void addLine(std::string_view text) override;
    void setCaption(std::string_view text) override;

    // Milliseconds until held updates are due; nothing when none are held.
    std::optional<std::uint64_t> msUntilDue() const;
    // Shows what is held if the interval is over.
    void poll();
    // Shows what is held now.
    void flush();

private:
    bool holding() const { return !heldLines_.empty() || heldCaption_.has_value(); }
    bool due(std::uint64_t now) const { return !shownOnce_ || now - lastShown_ >= intervalMs_; }
    void showHeld(std::uint64_t now);

    ProgressView& target_;
    std::uint64_t intervalMs_;
    Clock clock_;
    bool shownOnce_ = false;
    std::uint64_t lastShown_ = 0;
    std::vector<std::string> heldLines_;
    std::optional<std::string> heldCaption_;
};

}  // namespace rvo
