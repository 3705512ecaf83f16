#include "engine/core/session/ending_record.h"

namespace rvo {

namespace {

std::string cut(std::string text) {
    if (text.size() > kMaxEndingText) text.resize(kMaxEndingText);
    return text;
}

std::string causeText(SessionEnd end, std::string_view detail) {
    std::string text(sessionEndText(end));
    detail = withoutLineEnd(detail);
    if (!detail.empty()) text.append(": ").append(detail);
    return cut(std::move(text));
}

}  // namespace

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

void EndingRecord::note(SessionEnd end, std::string_view detail) {
    if (end_) return;
    end_ = end;
    reason_ = causeText(end, detail);
}

void EndingRecord::noteRefusal(std::string_view line) {
    lastRefusal_ = cut(std::string(withoutLineEnd(line)));
}

SessionEnding settleEnding(int result, const EndingRecord& dialogue, const EndingRecord& connection,
                           const MigrationTally& tally) {
    SessionEnding ending;
    ending.stored = static_cast<std::uint64_t>(tally.stored());
    ending.recognised = static_cast<std::uint64_t>(tally.recognised());
    ending.failed = static_cast<std::uint64_t>(tally.failed());
    ending.bytesStored = tally.bytesStored();
    ending.lastRefusal = !dialogue.lastRefusal().empty() ? dialogue.lastRefusal() : connection.lastRefusal();
    if (result == 0) {
        ending.end = SessionEnd::Completed;
        return ending;
    }
    const EndingRecord* decided = dialogue.decided() ? &dialogue : connection.decided() ? &connection : nullptr;
    if (decided) {
        ending.end = *decided->end();
        ending.reason = decided->reason();
        return ending;
    }
    ending.end = SessionEnd::Failed;
    ending.reason = causeText(SessionEnd::Failed, !tally.firstReason().empty() ? std::string_view(tally.firstReason())
                                                  : tally.failed() > 0 ? std::string_view("messages could not be copied")
                                                                       : std::string_view());
    return ending;
}

}  // namespace rvo
