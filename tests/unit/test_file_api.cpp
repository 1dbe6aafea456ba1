// File output: modes, the single current file, and every way a write can go wrong. Tests run
// as root, where a read-only folder does not stop writes, so failures come from /dev/full, a
// missing folder, and a file standing where a folder is expected.
#include "FileAPI.h"

#include "ScratchDirectory.h"
#include "VirtualConsole.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kOpenFailed = "ERROR: File does not exists\n";
const std::string kNotOpened = "ERROR: File does not exists or Not opened !\n";
const std::string kWriteFailed = "ERROR: File write failed, the file is incomplete !\n";
const std::string kCloseFailed = "ERROR: File close failed, the file is incomplete !\n";

class FileApiTest : public ::testing::Test {
protected:
    void SetUp() override { virtual_console::reset(); }
    void TearDown() override {
        if (fptr != nullptr) {
            FileAPI_CloseFile();
        }
    }
    ScratchDirectory scratch;
};

TEST_F(FileApiTest, CreateTruncatesAndOpenToWriteAppends) {
    ASSERT_EQ(FileAPI_CreateFile("out.bin", 1), 1);
    EXPECT_EQ(FileAPI_writeToFileBinary("ab\r\n", 4), 1);
    EXPECT_EQ(FileAPI_CloseFile(), 1);
    ASSERT_EQ(FileAPI_OpenFile_ToWrite("out.bin", 1), 1);
    EXPECT_EQ(FileAPI_writeToFileBinary("cd", 2), 1);
    EXPECT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_EQ(ScratchDirectory::readFile("out.bin"), "ab\r\ncd");

    ASSERT_EQ(FileAPI_CreateFile("out.bin", 0), 1);
    EXPECT_EQ(FileAPI_writeToFileBinary("x", 1), 1);
    EXPECT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_EQ(ScratchDirectory::readFile("out.bin"), "x");
    EXPECT_EQ(fptr, nullptr);
    EXPECT_EQ(virtual_console::output(), "");
}

TEST_F(FileApiTest, OpenFailureLeavesNoCurrentFileForTheWritesThatFollow) {
    { std::ofstream("plain") << "a file, not a folder"; }
    const std::vector<std::string> badPaths = {"missing/out.bin", "plain/out.bin"};
    for (const auto& path : badPaths) {
        for (const BOOL append : {0, 1}) {
            virtual_console::reset();
            const BOOL opened = append ? FileAPI_OpenFile_ToWrite(path.c_str(), 1) : FileAPI_CreateFile(path.c_str(), 1);
            EXPECT_EQ(opened, 0) << path;
            EXPECT_EQ(fptr, nullptr) << path;
            EXPECT_EQ(FileAPI_writeToFileBinary("x", 1), 0);
            EXPECT_EQ(FileAPI_CloseFile(), 0);
            EXPECT_EQ(virtual_console::output(), kOpenFailed + kNotOpened + kNotOpened) << path;
        }
    }
    EXPECT_FALSE(std::filesystem::exists("missing"));
}

TEST_F(FileApiTest, SecondCloseReportsThatNoFileIsOpen) {
    ASSERT_EQ(FileAPI_CreateFile("out.bin", 1), 1);
    EXPECT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_EQ(virtual_console::output(), "");
    EXPECT_EQ(FileAPI_CloseFile(), 0);
    EXPECT_EQ(virtual_console::output(), kNotOpened);
}

TEST_F(FileApiTest, FullDeviceFailsTheShortWriteOrTheClose) {
    // A few bytes sit in the stream's buffer: the write looks fine, the close cannot store them.
    ASSERT_EQ(FileAPI_CreateFile("/dev/full", 1), 1);
    EXPECT_EQ(FileAPI_writeToFileBinary("header\r\n", 8), 1);
    EXPECT_EQ(FileAPI_CloseFile(), 0);
    EXPECT_EQ(fptr, nullptr);
    EXPECT_EQ(virtual_console::output(), kCloseFailed);

    // More than any stream buffer: the write itself comes up short.
    virtual_console::reset();
    const std::vector<char> big(256 * 1024, 'A');
    ASSERT_EQ(FileAPI_OpenFile_ToWrite("/dev/full", 1), 1);
    EXPECT_EQ(FileAPI_writeToFileBinary(big.data(), static_cast<uint32_t>(big.size())), 0);
    EXPECT_EQ(FileAPI_CloseFile(), 0);
    EXPECT_EQ(virtual_console::output(), kWriteFailed + kCloseFailed);
}

} // namespace
