#include "engine/core/session/progress_throttle.h"

#include <utility>

namespace rvo {

void ProgressThrottle::showHeld(std::uint64_t now) {
    // Moved out first: the target may take its time, and nothing shown twice.
    std::vector<std::string> lines = std::move(heldLines_);
    std::optional<std::string> caption = std::move(heldCaption_);
    heldLines_.clear();
    heldCaption_.reset();
    if (!lines.empty()) target_.addLines(lines);
    if (caption) target_.setCaption(*caption);
    shownOnce_ = true;
    lastShown_ = now;
}

void ProgressThrottle::addLine(std::string_view text) {
    if (intervalMs_ == 0) {
        target_.addLine(text);
        return;
    }
    heldLines_.emplace_back(text);
    poll();
}

void ProgressThrottle::setCaption(std::string_view text) {
    if (intervalMs_ == 0) {
        target_.setCaption(text);
        return;
    }
    heldCaption_ = std::string(text);
    poll();
}

std::optional<std::uint64_t> ProgressThrottle::msUntilDue() const {
    if (!holding()) return std::nullopt;
    const std::uint64_t now = clock_();
    if (due(now)) return 0;
    return intervalMs_ - (now - lastShown_);
}

void ProgressThrottle::poll() {
    if (!holding()) return;
    const std::uint64_t now = clock_();
    if (due(now)) showHeld(now);
}

void ProgressThrottle::flush() {
    if (holding()) showHeld(clock_());
}

}  // namespace rvo
