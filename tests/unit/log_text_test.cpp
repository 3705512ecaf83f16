// What a log line may hold: one line, a bounded length, no password.
#include "engine/core/log/log_text.h"

#include <gtest/gtest.h>

#include <ctime>

#include "engine/core/log/log_format.h"

namespace rvo {
namespace {

TEST(LogText, OneLineBoundedAndMasked) {
    // A system error text ends in CR LF and an exception puts one inside.
    EXPECT_EQ(singleLine("(5) Access is denied.\r\n\nCould not open x\r\n"), "(5) Access is denied.  Could not open x");
    EXPECT_EQ(singleLine("a\rb\nc"), "a b c");
    EXPECT_EQ(singleLine(""), "");
    std::tm t{};
    t.tm_year = 106;
    t.tm_mday = 1;
    EXPECT_EQ(logLine(t, 7, "one\r\ntwo\r\n"), "01/01/2006 12:00:00 AM [7] : one two\n");

    const std::string greeting = "* OK " + std::string(10 * 1024 * 1024, 'x');
    const std::string cut = boundedLogText(greeting);
    EXPECT_EQ(cut, greeting.substr(0, kMaxSessionLogText) + " ... (10485765 bytes in all)");
    EXPECT_EQ(boundedLogText("short"), "short");

    EXPECT_EQ(maskSecret("A000 NO LOGIN alice s3cret failed; s3cret!", "s3cret"),
              "A000 NO LOGIN alice ********** failed; **********!");
    EXPECT_EQ(maskSecret("nothing", ""), "nothing");
    EXPECT_EQ(maskSecret("aaa", "aa"), "**********a");
}

}  // namespace
}  // namespace rvo
