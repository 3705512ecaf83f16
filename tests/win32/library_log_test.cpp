// The library's log file: banner and closing line, whole lines from several
// threads, and no log (and no error) where the file cannot be opened.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "library/win32/library_log.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(test::readWholeFile(path));
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(!line.empty() && line.back() == '\r') << "text mode: CR LF line ends";
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

const std::string kStars(80, '*');

TEST(LibraryLog, EachLoadAppendsItsBannerLinesAndClosingLine) {
    test::TempFolder folder("kelvar-liblog");
    const std::string path = folder.file("kelvar.log");
    for (const char* text : {"first", "second"}) {
        LibraryLog log(path);
        ASSERT_TRUE(log.isOpen());
        log.writeLogLine("IMap2XRV Function", text);
        log.report("TestConnection", "100% done");  // no format is applied
    }
    const std::vector<std::string> lines = linesOf(path);
    ASSERT_EQ(lines.size(), 12u);
    for (std::size_t start : {0u, 6u}) {
        EXPECT_EQ(lines[start], kStars);
        EXPECT_TRUE(std::regex_match(lines[start + 1],
                                     std::regex(R"(KELVAR Dll Log File \[\w+, \w+ \d\d, \d{4} \d{1,2}:\d\d [AP]M\])")))
            << lines[start + 1];
        EXPECT_EQ(lines[start + 2], "");
        EXPECT_EQ(lines[start + 4], "[TestConnection] 100% done");
        EXPECT_EQ(lines[start + 5], kStars);
    }
    EXPECT_EQ(lines[3], "[IMap2XRV Function] first");
    EXPECT_EQ(lines[9], "[IMap2XRV Function] second");
}

TEST(LibraryLog, LinesOfTwoThreadsNeverMix) {
    test::TempFolder folder("kelvar-liblog-threads");
    const std::string path = folder.file("kelvar.log");
    const std::string longText(3000, 'x');
    {
        LibraryLog log(path);
        auto writer = [&](const char* caption) {
            for (int i = 0; i < 300; ++i) log.writeLogLine(caption, longText);
        };
        std::thread caller(writer, "IMap2XRV Function");
        std::thread worker(writer, "Pop32XRV Function");
        caller.join();
        worker.join();
    }
    const std::vector<std::string> lines = linesOf(path);
    ASSERT_EQ(lines.size(), 3u + 600u + 1u);
    const std::set<std::string> whole{"[IMap2XRV Function] " + longText, "[Pop32XRV Function] " + longText};
    for (std::size_t i = 3; i < 603; ++i) EXPECT_TRUE(whole.count(lines[i])) << "line " << i << " is mixed";
}

TEST(LibraryLog, AFileThatCannotBeOpenedMeansNoLog) {
    test::TempFolder folder("kelvar-liblog-none");
    // A directory where the file should be.
    const std::string path = folder.file("kelvar.log");
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    LibraryLog log(path);
    EXPECT_FALSE(log.isOpen());
    log.writeLogLine("IMap2XRV Function", "dropped");
}

TEST(LibraryLog, BesideTheHostProgram) {
    std::string program(MAX_PATH, '\0');
    program.resize(GetModuleFileNameA(nullptr, program.data(), MAX_PATH));
    EXPECT_EQ(LibraryLog::hostLogPath(), program.substr(0, program.rfind('\\')) + "\\kelvar.log");
}

}  // namespace
}  // namespace rvo
