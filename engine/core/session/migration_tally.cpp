#include "engine/core/session/migration_tally.h"

namespace rvo {

void MigrationTally::leaveForNextRun(std::string_view reason) {
    if (!left_) firstReason_ = reason;
    left_ = true;
}

std::string MigrationTally::summary(bool migrated, std::string_view otherwise) const {
    std::string text = "Messages stored: " + std::to_string(stored_) +
                       ", recognised as stored: " + std::to_string(recognised_) +
                       ", failed: " + std::to_string(failed_) + "; ";
    if (migrated) return text + "the account is migrated";
    text += "the account is left for the next run: ";
    if (!firstReason_.empty()) return text + firstReason_;
    if (failed_ > 0) return text + "messages could not be copied";
    return text.append(otherwise);
}

}  // namespace rvo
