// A whole file replaced through a temporary name: a reader finds the old
// file or the new one, whole, and no temporary file is left behind.
#include <gtest/gtest.h>
#include <windows.h>

#include "engine/win32/platform/whole_file.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(WholeFile, ReplacesTheFileAndLeavesNoTemporaryOne) {
    test::TempFolder dir("whole_file");
    const std::string path = dir.file("logs\\report.csv");
    // The folder is made when missing.
    ASSERT_EQ(writeWholeFile(path, "first,version\r\n"), WholeFileResult::Ok);
    EXPECT_EQ(test::readWholeFile(path), "first,version\r\n");
    const std::string longer(300000, 'x');
    ASSERT_EQ(writeWholeFile(path, longer), WholeFileResult::Ok);
    EXPECT_EQ(test::readWholeFile(path), longer);
    ASSERT_EQ(writeWholeFile(path, std::string("a\0b", 3)), WholeFileResult::Ok);
    EXPECT_EQ(test::readWholeFile(path), std::string("a\0b", 3)) << "shorter: nothing of the old one is left";
    EXPECT_FALSE(exists(path + ".tmp"));
}

TEST(WholeFile, AnUncommittedWriteLeavesTheOldFileWhole) {
    test::TempFolder dir("whole_file");
    const std::string path = dir.file("report.csv");
    ASSERT_EQ(writeWholeFile(path, "old\r\n"), WholeFileResult::Ok);
    {
        ReplacingFile file(path);
        ASSERT_TRUE(file.opened());
        ASSERT_TRUE(file.write("new but never committed"));
    }
    EXPECT_EQ(test::readWholeFile(path), "old\r\n");
    EXPECT_FALSE(exists(path + ".tmp"));
    // A folder that cannot be made: a failure, not a success.
    EXPECT_NE(writeWholeFile(dir.file("missing\\deeper\\report.csv"), "x"), WholeFileResult::Ok);
}

}  // namespace
}  // namespace rvo
