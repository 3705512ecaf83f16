#include "engine/core/session/commands_in_flight.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace rvo {
namespace {

struct Sent {
    std::string tag;
    int number = 0;
};

std::vector<std::string> tags(CommandsInFlight<Sent>& commands) {
    std::vector<std::string> all;
    commands.forEach([&](Sent& sent) { all.push_back(sent.tag); });
    return all;
}

TEST(CommandsInFlight, TheWindowBoundsRoomButNotWhatIsPushed) {
    CommandsInFlight<Sent> commands(0);  // taken as 1: nothing could be sent otherwise
    EXPECT_EQ(commands.window(), 1u);
    EXPECT_TRUE(commands.idle());
    EXPECT_TRUE(commands.hasRoom());
    commands.push({"A", 1});
    EXPECT_FALSE(commands.hasRoom());
    // A command beyond the window (a LOGOUT after an answer out of step) is still kept.
    commands.push({"B", 2});
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands.mostInFlight(), 2u);

    // A window agreed later: room again up to it; a smaller one keeps what is in flight.
    commands.setWindow(3);
    EXPECT_TRUE(commands.hasRoom());
    commands.push({"C", 3});
    EXPECT_FALSE(commands.hasRoom());
    commands.setWindow(1);
    EXPECT_EQ(commands.size(), 3u);
    EXPECT_FALSE(commands.hasRoom());
    commands.setWindow(0);
    EXPECT_EQ(commands.window(), 1u);
}

TEST(CommandsInFlight, AnswersInOrderGoToTheOldestAndMostInFlightKeepsThePeak) {
    CommandsInFlight<Sent> commands(4);
    for (int n = 1; n <= 4; ++n) commands.push({"T" + std::to_string(n), n});
    EXPECT_EQ(commands.oldest().number, 1);
    commands.oldest().tag = "seen";  // the owner marks the oldest while its answer is read
    EXPECT_EQ(commands.takeOldest().tag, "seen");
    EXPECT_EQ(commands.takeOldest().number, 2);
    commands.push({"T5", 5});
    EXPECT_EQ(tags(commands), (std::vector<std::string>{"T3", "T4", "T5"}));
    EXPECT_EQ(commands.mostInFlight(), 4u);

    EXPECT_TRUE(commands.any([](const Sent& s) { return s.number == 5; }));
    EXPECT_FALSE(commands.any([](const Sent& s) { return s.number == 1; }));

    commands.forget();
    EXPECT_TRUE(commands.idle());
    EXPECT_TRUE(commands.hasRoom());
    EXPECT_EQ(commands.mostInFlight(), 4u);
}

TEST(CommandsInFlight, TakeFirstTakesTheOldestMatchAndLeavesTheRestInOrder) {
    CommandsInFlight<Sent> commands(8);
    commands.push({"A004", 1});
    commands.push({"T0001", 2});
    commands.push({"A004", 3});
    commands.push({"T0002", 4});

    // Two commands share a tag: the oldest takes the answer, and no later
    // command is asked once one has matched.
    std::vector<int> asked;
    const auto taken = commands.takeFirst([&](const Sent& s) {
        asked.push_back(s.number);
        return s.tag == "A004";
    });
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->number, 1);
    EXPECT_EQ(asked, (std::vector<int>{1}));

    // From the middle of the queue.
    EXPECT_EQ(commands.takeFirst([](const Sent& s) { return s.tag == "T0002"; })->number, 4);
    EXPECT_EQ(tags(commands), (std::vector<std::string>{"T0001", "A004"}));

    // No match: nothing is taken.
    EXPECT_FALSE(commands.takeFirst([](const Sent& s) { return s.tag == "X9"; }).has_value());
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands.takeFirst([](const Sent& s) { return s.tag == "A004"; })->number, 3);
    EXPECT_EQ(commands.takeOldest().tag, "T0001");
    EXPECT_TRUE(commands.idle());
    EXPECT_FALSE(commands.takeFirst([](const Sent&) { return true; }).has_value());
}

TEST(CommandsInFlight, EntriesThatCanOnlyBeMovedAreHandedOverWhole) {
    // A handler or a buffer travels with its command and is never copied.
    CommandsInFlight<std::unique_ptr<std::string>> commands(2);
    commands.push(std::make_unique<std::string>("first"));
    commands.push(std::make_unique<std::string>("second"));
    const auto second = commands.takeFirst([](const auto& p) { return *p == "second"; });
    ASSERT_TRUE(second && *second);
    EXPECT_EQ(**second, "second");
    EXPECT_EQ(*commands.takeOldest(), "first");
}

}  // namespace
}  // namespace rvo
