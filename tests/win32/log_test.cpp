#include <gtest/gtest.h>

#include <algorithm>
#include <windows.h>

#include <ctime>
#include <vector>

#include "batch/win32/application.h"
#include "engine/core/log/log_format.h"
#include "engine/win32/log/daily_log.h"
#include "engine/win32/log/file_finder.h"
#include "engine/win32/log/system_error.h"
#include "engine/win32/ui/message_box.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

using test::TempFolder;

std::string todaysFileName(const std::string& baseName) {
    const std::time_t now = std::time(nullptr);
    return dailyLogFileName(*std::localtime(&now), baseName);
}

// Records message boxes instead of showing them.
class BoxRecorder {
public:
    BoxRecorder() {
        setMessageBoxHandler([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            return IDOK;
        });
    }
    ~BoxRecorder() { setMessageBoxHandler({}); }
    std::vector<MessageBoxRequest> boxes;
};

TEST(DailyLog, CreatesFolderAndAppendsLinesOfTheDay) {
    TempFolder dir("log");
    const std::string file = dir.file("logs\\" + todaysFileName("kelvard"));
    DailyLog(dir.path(), "kelvard").writeLog(1832, "first 100% %s");
    // A second writer (another run of the program) appends to the same file.
    DailyLog(dir.path(), "kelvard").writeLog(1833, std::string(1500, 'L'));

    const std::string content = test::readWholeFile(file);
    const std::size_t firstEnd = content.find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos) << "lines end in CR LF on disk";
    EXPECT_NE(content.find("[1832] : first 100% %s\r\n"), std::string::npos);
    EXPECT_NE(content.find("[1833] : " + std::string(1500, 'L') + "\r\n"), std::string::npos);
    EXPECT_LT(content.find("[1832]"), content.find("[1833]"));
}

// Two writers of one day's file, each keeping it open, as two programs do:
// every line is whole, at the end of the file, and on disk at once.
TEST(DailyLog, WritersSharingTheDaysFileAppendWholeLinesInTurn) {
    TempFolder dir("log-shared");
    const std::string file = dir.file("logs\\" + todaysFileName("kelvard"));
    const DailyLog first(dir.path(), "kelvard");
    const DailyLog second(dir.path(), "kelvard");
    std::string expected;
    for (int i = 0; i < 6; ++i) {
        (i % 2 ? second : first).writeLog(100 + i, "line " + std::to_string(i));
        const std::string content = test::readWholeFile(file);
        ASSERT_NE(content.find("[" + std::to_string(100 + i) + "] : line " + std::to_string(i) + "\r\n"),
                  std::string::npos) << "line " << i << " not on disk yet";
    }
    const std::string content = test::readWholeFile(file);
    std::size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        const std::size_t found = content.find(" : line " + std::to_string(i) + "\r\n", at);
        ASSERT_NE(found, std::string::npos) << i;
        at = found;
    }
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 6);
}

TEST(DailyLog, LogFolderThatCannotBeCreatedDropsTheLine) {
    TempFolder dir("log-blocked");
    // The program's folder itself is gone, so "logs" cannot be made in it.
    EXPECT_NO_THROW(DailyLog(dir.file("missing\\"), "kelvard").writeLog(1, "lost"));
    EXPECT_FALSE(pathExists(dir.file("missing")));
}

TEST(DailyLog, UnopenableFileThrowsWithThePath) {
    TempFolder dir("log-unopenable");
    const std::string file = dir.file("logs\\" + todaysFileName("kelvard"));
    CreateDirectoryA(dir.file("logs").c_str(), nullptr);
    CreateDirectoryA(file.c_str(), nullptr);  // a folder in the file's place
    try {
        DailyLog(dir.path(), "kelvard").writeLog(1, "x");
        FAIL() << "expected an exception";
    } catch (const Exception& e) {
        const std::string text = e.text();
        EXPECT_EQ(text.front(), '(');
        EXPECT_NE(text.find("\nFailed to open file " + file), std::string::npos) << text;
    }
}

TEST(SystemError, CodeSystemTextThenSentence) {
    const std::string text = formatSystemError(10061, "Failed to connect to address");
    ASSERT_EQ(text.rfind("(10061) ", 0), 0u) << text;
    const std::size_t br = text.find('\n');
    ASSERT_NE(br, std::string::npos);
    EXPECT_GT(br, 8u) << "the system's sentence stands between code and line break";
    EXPECT_EQ(text.substr(br + 1), "Failed to connect to address");
    EXPECT_EQ(text.find('\r'), std::string::npos);

    EXPECT_EQ(systemErrorText(0xDEADBEEF), "Failed to format a message string.");
    EXPECT_EQ(formatSystemError(2, "%s", std::string(4000, 'x').c_str()).size(), 2048u);
}

TEST(Application, ReportLogsUnderTheProgramAndShowsCriticalBoxWhenTheLogFails) {
    BoxRecorder recorder;
    Application app(GetModuleHandleA(nullptr));
    app.init();
    ASSERT_FALSE(app.moduleDirectory().empty());
    EXPECT_EQ(app.moduleDirectory().back(), '\\');
    EXPECT_EQ(app.moduleBaseName(), "win32_tests");

    const std::string file = app.moduleDirectory() + "logs\\" + todaysFileName("win32_tests");
    // A log file that cannot be opened for writing (held without sharing; a
    // read-only attribute does not stop the superuser Wine runs as here):
    // every report shows the box, and the caller goes on.
    CreateDirectoryA((app.moduleDirectory() + "logs").c_str(), nullptr);
    HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    app.report("Controller Object", "lost line");
    app.report("Controller Object", "lost line");
    CloseHandle(held);

    // Once the file can be opened again, reports reach it.
    app.report("Controller Object", "Invalid Information");
    EXPECT_NE(test::readWholeFile(file).find(" : Controller Object Invalid Information\r\n"), std::string::npos);
    ASSERT_EQ(recorder.boxes.size(), 2u);
    EXPECT_EQ(recorder.boxes[0].text, "Unknown Error in theApp");
    EXPECT_EQ(recorder.boxes[0].caption, "Critical Exception");
    EXPECT_EQ(recorder.boxes[0].type, static_cast<unsigned>(MB_OK));
}

}  // namespace
}  // namespace rvo
