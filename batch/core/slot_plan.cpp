#include "batch/core/slot_plan.h"

#include "engine/core/text/ascii.h"

namespace rvo {

namespace {

// ASCII letters without regard to case. A byte above 0x7F matches any such
// byte: the file system folds the case of accented letters too (in whatever
// code page the list is written), which this code cannot know. Taking two
// names for one folder when they are not costs only parallelism; the
// opposite mistake would let two sessions write one folder.
bool mayBeSameFolderName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool highA = static_cast<unsigned char>(a[i]) >= 0x80;
        const bool highB = static_cast<unsigned char>(b[i]) >= 0x80;
        if (highA != highB) return false;
        if (!highA && asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

}  // namespace

bool sameUserDirectory(const PlannedAccount& a, const PlannedAccount& b) {
    return mayBeSameFolderName(a.user, b.user) && mayBeSameFolderName(a.domain, b.domain);
}

SlotPlan::SlotPlan(std::vector<PlannedAccount> accounts, int slots)
    : accounts_(std::move(accounts)),
      states_(accounts_.size(), SlotState::Waiting),
      slots_(slots < 1 ? 1 : static_cast<std::size_t>(slots)) {}

std::optional<std::size_t> SlotPlan::startNext() {
    if (cancelled_ || running_ >= slots_) return std::nullopt;
    while (firstWaiting_ < states_.size() && states_[firstWaiting_] != SlotState::Waiting) ++firstWaiting_;
    // At most `slots` accounts run, so each candidate is compared with a
    // handful: the cost is the list's length times the slots, not its square.
    std::vector<std::size_t> running;
    running.reserve(running_);
    for (std::size_t i = 0; i < states_.size() && running.size() < running_; ++i) {
        if (states_[i] == SlotState::Running) running.push_back(i);
    }
    for (std::size_t i = firstWaiting_; i < states_.size(); ++i) {
        if (states_[i] != SlotState::Waiting) continue;
        bool twinRunning = false;
        for (const std::size_t r : running) {
            if (sameUserDirectory(accounts_[i], accounts_[r])) {
                twinRunning = true;
                break;
            }
        }
        if (twinRunning) continue;
        states_[i] = SlotState::Running;
        ++running_;
        return i;
    }
    return std::nullopt;
}

void SlotPlan::finished(std::size_t index) {
    if (index >= states_.size() || states_[index] != SlotState::Running) return;
    states_[index] = SlotState::Done;
    --running_;
}

void SlotPlan::cancel() {
    cancelled_ = true;
    for (SlotState& s : states_) {
        if (s == SlotState::Waiting) s = SlotState::NotStarted;
    }
}

RunCounts SlotPlan::counts() const {
    RunCounts c;
    c.total = states_.size();
    for (const SlotState s : states_) {
        if (s == SlotState::Done) ++c.done;
        if (s == SlotState::Running) ++c.running;
    }
    c.left = c.total - c.done - c.running;
    return c;
}

bool SlotPlan::over() const {
    if (running_ > 0) return false;
    if (cancelled_) return true;
    for (const SlotState s : states_) {
        if (s == SlotState::Waiting) return false;
    }
    return true;
}

std::string runTitleText(const RunCounts& counts, bool checkOnly) {
    std::string title = checkOnly ? "Checking " : "Migrating ";
    title += std::to_string(counts.done + counts.running) + " of " + std::to_string(counts.total) + " accounts: ";
    title += std::to_string(counts.done) + " done, " + std::to_string(counts.running) + " running, " +
             std::to_string(counts.left) + " left";
    return title;
}

}  // namespace rvo
