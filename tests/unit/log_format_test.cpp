#include <gtest/gtest.h>

#include "engine/core/log/log_format.h"

namespace rvo {
namespace {

std::tm afternoon() {
    std::tm t{};
    t.tm_year = 2006 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 15;
    t.tm_hour = 14;
    t.tm_min = 41;
    t.tm_sec = 7;
    return t;
}

TEST(LogFormat, FileNameLineAndBanner) {
    EXPECT_EQ(dailyLogFileName(afternoon(), "kelvard"), "20061215_kelvard.log");
    EXPECT_EQ(logLine(afternoon(), 1832, reportText("Controller Object", "Invalid Information")),
              "12/15/2006 02:41:07 PM [1832] : Controller Object Invalid Information\n");
    EXPECT_EQ(kBanner.size(), 80u);
    EXPECT_EQ(kBanner.find_first_not_of('*'), std::string_view::npos);
}

TEST(LogFormat, MidnightAndNoonUseTwelveHourClock) {
    std::tm t = afternoon();
    t.tm_hour = 0;
    EXPECT_EQ(logLine(t, 1, "x").substr(0, 23), "12/15/2006 12:41:07 AM ");
    t.tm_hour = 12;
    EXPECT_EQ(logLine(t, 1, "x").substr(0, 23), "12/15/2006 12:41:07 PM ");
}

TEST(LogFormat, TextIsWrittenAsItStands) {
    // Folder names may hold percent signs; they must never be interpreted.
    const std::string line = logLine(afternoon(), 7, reportText("IMap2XRV Object", "Selecting %s%d%n 100%"));
    EXPECT_NE(line.find("IMap2XRV Object Selecting %s%d%n 100%\n"), std::string::npos);
    const std::string longText(3000, 'q');
    EXPECT_NE(logLine(afternoon(), 7, longText).find(longText), std::string::npos);
}

}  // namespace
}  // namespace rvo
