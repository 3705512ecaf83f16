#include "engine/core/session/progress_throttle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rvo {
namespace {

// Records what reaches the view, one entry per call.
struct Recorder : ProgressView {
    std::vector<std::string> calls;
    void addLine(std::string_view text) override { calls.push_back("L:" + std::string(text)); }
    void addLines(const std::vector<std::string>& lines) override {
        std::string all = "LINES:";
        for (const auto& line : lines) all += line + "|";
        calls.push_back(all);
    }
    void setCaption(std::string_view text) override { calls.push_back("C:" + std::string(text)); }
};

using Calls = std::vector<std::string>;

struct ThrottleTest : ::testing::Test {
    Recorder target;
    std::uint64_t now = 1000;
    ProgressThrottle throttle{target, 100, [this] { return now; }};
};

TEST_F(ThrottleTest, WithinTheIntervalLinesAreHeldInOrderAndOnlyTheNewestCaptionIsShown) {
    throttle.addLine("Connected");  // the first update goes out at once
    EXPECT_EQ(target.calls, Calls({"LINES:Connected|"}));

    now += 10;
    throttle.setCaption("message 1");
    throttle.addLine("FETCHING EMAIL 1");
    now += 10;
    throttle.setCaption("message 2");
    throttle.addLine("FETCHING EMAIL 2");
    EXPECT_EQ(target.calls.size(), 1u);
    EXPECT_EQ(throttle.msUntilDue(), 80u);

    throttle.poll();  // not due yet
    EXPECT_EQ(target.calls.size(), 1u);
    now += 80;
    EXPECT_EQ(throttle.msUntilDue(), 0u);
    throttle.poll();
    throttle.poll();  // nothing is shown twice
    EXPECT_EQ(target.calls,
              Calls({"LINES:Connected|", "LINES:FETCHING EMAIL 1|FETCHING EMAIL 2|", "C:message 2"}));
    EXPECT_EQ(throttle.msUntilDue(), std::nullopt);

    now += 500;  // after a quiet interval the next update is shown at once
    throttle.setCaption("message 3");
    EXPECT_EQ(target.calls.back(), "C:message 3");
}

TEST_F(ThrottleTest, FlushShowsWhatIsHeldWhateverTheTime) {
    throttle.setCaption("first");
    throttle.addLine("a");
    throttle.setCaption("last");
    throttle.flush();
    throttle.flush();
    EXPECT_EQ(target.calls, Calls({"C:first", "LINES:a|", "C:last"}));
}

TEST(ProgressThrottle, ZeroIntervalPassesEverythingOnWithoutReadingTheClock) {
    Recorder target;
    ProgressThrottle throttle(target, 0, []() -> std::uint64_t {
        ADD_FAILURE() << "clock read";
        return 0;
    });
    throttle.setCaption("a");
    throttle.addLine("b");
    throttle.setCaption("c");
    throttle.poll();
    throttle.flush();
    EXPECT_EQ(throttle.msUntilDue(), std::nullopt);
    EXPECT_EQ(target.calls, Calls({"C:a", "L:b", "C:c"}));
}

TEST(ProgressViewDefault, AddLinesAddsEachLineInOrder) {
    struct Lines : ProgressView {
        std::vector<std::string> lines;
        void addLine(std::string_view text) override { lines.emplace_back(text); }
        void setCaption(std::string_view) override {}
    } view;
    view.addLines({"x", "y", "z"});
    EXPECT_EQ(view.lines, Calls({"x", "y", "z"}));
}

}  // namespace
}  // namespace rvo
