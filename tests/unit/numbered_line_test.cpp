// The wizard's line reader: which text a line number gives, whatever the
// pieces the file is read in.
#include <gtest/gtest.h>

#include "library/core/numbered_line.h"

namespace rvo {
namespace {

struct Found {
    NumberedLine::Outcome outcome;
    std::string text;
    friend bool operator==(const Found&, const Found&) = default;
};

// The file fed whole, and byte by byte: both must agree.
Found find(const std::string& file, int number) {
    NumberedLine whole(number);
    whole.feed(file);
    whole.end();
    NumberedLine bytes(number);
    for (const char c : file)
        if (bytes.feed(std::string_view(&c, 1))) break;
    bytes.end();
    EXPECT_EQ(whole.outcome(), bytes.outcome()) << number;
    EXPECT_EQ(whole.text(), bytes.text()) << number;
    return {whole.outcome(), whole.text()};
}

constexpr auto kFound = NumberedLine::Outcome::Found;
constexpr auto kTooShort = NumberedLine::Outcome::TooShort;

TEST(NumberedLine, LinesAndTheEmptyLineAfterTheLastLineFeed) {
    EXPECT_EQ(find("only line", 1), (Found{kFound, "only line"}));
    EXPECT_EQ(find("only line", 2), (Found{kTooShort, ""}));
    EXPECT_EQ(find("first\nsecond\n", 2), (Found{kFound, "second"}));
    EXPECT_EQ(find("first\nsecond\n", 3), (Found{kFound, ""}));
    EXPECT_EQ(find("first\nsecond\n", 4), (Found{kTooShort, ""}));
    EXPECT_EQ(find("", 1), (Found{kFound, ""}));
    for (const int number : {0, -1, -2147483647 - 1}) EXPECT_EQ(find("a\nb\n", number), (Found{kTooShort, ""}));
}

TEST(NumberedLine, CarriageReturnsBeforeALineFeedAreLineEnds) {
    EXPECT_EQ(find("one\r\ntwo\r\n", 1), (Found{kFound, "one"}));
    EXPECT_EQ(find("one\r\ntwo\r\n", 2), (Found{kFound, "two"}));
    // Elsewhere a carriage return is text.
    EXPECT_EQ(find("a\rb\r\r\nc\r", 1), (Found{kFound, "a\rb\r"}));
    EXPECT_EQ(find("a\rb\r\r\nc\r", 2), (Found{kFound, "c\r"}));
}

TEST(NumberedLine, ALongLineIsCutAndTheNextKeepsItsText) {
    const std::string longLine(5000, 'x');
    const std::string file = "before\n" + longLine + "\nafter\r\nlast";
    EXPECT_EQ(find(file, 2), (Found{kFound, std::string(NumberedLine::kMaxLineChars, 'x')}));
    EXPECT_EQ(find(file, 3), (Found{kFound, "after"}));
    EXPECT_EQ(find(file, 4), (Found{kFound, "last"}));
    EXPECT_EQ(find(file, 5), (Found{kTooShort, ""}));
    EXPECT_EQ(find(file, 0), (Found{kTooShort, ""}));
    // Exactly the limit is kept whole.
    EXPECT_EQ(find(std::string(1023, 'y') + "\n", 1).text.size(), 1023u);
}

}  // namespace
}  // namespace rvo
