// The web upload file: the Base64 codec, the single output file, and "FwToUpload.bin" itself
// with its header lines and its body in lines of 928 characters.
#include "Encoder.h"
#include "FileAPI.h"
#include "VirtualConsole.h"
#include "WebUploadFile.h"
#include "WorkingBuffers.h"
#include "firmware/BinImage.h"

#include "Files.h"
#include "ReferenceBase64.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

int VelmoraFwWebFile_main(); // the web file program's entry, built into the tests under this name

namespace {

std::string randomBytes(std::size_t length) {
    static std::mt19937 random(7);
    std::string bytes(length, '\0');
    std::generate(bytes.begin(), bytes.end(), [] { return static_cast<char>(random()); });
    return bytes;
}

TEST(Base64, EncodesGroupsPadsTheLastAndAsksForRoomWithTheTerminator) {
    for (std::size_t length = 0; length <= 100; ++length) {
        const std::string bytes = randomBytes(length);
        const std::string text = reference_base64::encode(bytes);
        std::string out(text.size() + 2, '#');
        int room = static_cast<int>(text.size());
        const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
        auto* dst = reinterpret_cast<unsigned char*>(out.data());
        if (length > 0) { // exactly the text's size is one byte short: the terminator needs room
            EXPECT_EQ(base64_encode(dst, &room, src, static_cast<int>(length)), -1);
            EXPECT_EQ(room, static_cast<int>(text.size()) + 1);
            EXPECT_EQ(out, std::string(text.size() + 2, '#')) << "nothing written";
        }
        room = static_cast<int>(text.size()) + 1;
        EXPECT_EQ(base64_encode(dst, &room, src, static_cast<int>(length)), 0);
        EXPECT_EQ(room, length > 0 ? static_cast<int>(text.size()) : static_cast<int>(text.size()) + 1);
        EXPECT_EQ(out, length > 0 ? text + std::string("\0#", 2) : "##") << length;
    }
}

TEST(Base64, DecoderSkipsLineEndsAndRefusesWhatIsNotBase64) {
    struct Row {
        std::string text;
        int room, result, roomAfter;
        std::string bytes;
    };
    const Row rows[] = {
        {"YW\r\nJj", 3, 0, 3, "abc"},
        {"YW\nJj\n", 3, 0, 3, "abc"},
        {"YWJjZA", 5, 0, 3, "abc"},
        {"YWJjZA", 4, -1, 5, ""},
        {"YQ==", 1, -1, 3, ""},
        {"YQ==", 3, 0, 1, "a"},
        {"YWI=", 3, 0, 2, "ab"},
        {"YQ=a", 9, -1, 9, ""},
        {"Y===", 9, -1, 9, ""},
        {"YW\rJj", 9, -1, 9, ""},
        {"YW*j", 9, -1, 9, ""},
        {"YW\x80j", 9, -1, 9, ""},
        {"", 9, 0, 9, ""},
        {"\r\n\n", 9, 0, 9, ""},
    };
    for (const Row& row : rows) {
        unsigned char out[16] = {};
        int room = row.room;
        EXPECT_EQ(base64_decode(out, &room, reinterpret_cast<const unsigned char*>(row.text.data()),
                                static_cast<int>(row.text.size())),
                  row.result)
            << row.text;
        EXPECT_EQ(room, row.roomAfter) << row.text;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), row.bytes.size()), row.bytes);
        EXPECT_EQ(reference_base64::decode(row.text).valid, row.result == 0 || row.roomAfter > row.room);
    }
    unsigned char out[8] = {}; // the text's length is the bound, not its end
    int room = 8;
    EXPECT_EQ(base64_decode(out, &room, reinterpret_cast<const unsigned char*>("YWJjZABj"), 7) + room, 3);
    EXPECT_EQ(base64_decode(out, &room, reinterpret_cast<const unsigned char*>("YWJj\r\n"), 5), -1)
        << "a lone CR at the end";
}

// The current file: created or appended to in binary mode, and every failure reported.
TEST(FileOutput, OneCurrentFileAndAMessageForEveryFailure) {
    enterFreshFolder("scratch-file-output");
    const std::string noFile = "ERROR: File does not exists or Not opened !\n",
                      closeFailed = "ERROR: File close failed, the file is incomplete !\n";
    const std::string big(1 << 20, 'x');
    virtual_console::reset();
    const std::vector<BOOL> results = {
        // in this order
        FileAPI_CreateFile("out.bin", 1), FileAPI_writeToFileBinary("ab\r\n", 4), FileAPI_CloseFile(),
        FileAPI_OpenFile_ToWrite("out.bin", 1), FileAPI_writeToFileBinary("cd", 2), FileAPI_CloseFile(),
        FileAPI_CloseFile(), FileAPI_CreateFile("missing/out.bin", 1),
        FileAPI_OpenFile_ToWrite("missing/out.bin", 0), FileAPI_writeToFileBinary("x", 1),
        // A full device: the write the stream cannot hold, or the close that stores the rest, fails.
        FileAPI_CreateFile("/dev/full", 1), FileAPI_writeToFileBinary(big.data(), 1 << 20),
        FileAPI_CloseFile(), FileAPI_CreateFile("/dev/full", 0), FileAPI_writeToFileBinary("x", 1),
        FileAPI_CloseFile()};
    EXPECT_EQ(results, (std::vector<BOOL>{1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 0}));
    EXPECT_EQ(readFile("out.bin"), "ab\r\ncd");
    EXPECT_EQ(virtual_console::output(),
              noFile + "ERROR: File does not exists\nERROR: File does not exists\n" + noFile +
                  "ERROR: File write failed, the file is incomplete !\n" + closeFailed + closeFailed);
}

// Intel HEX text holding `image` from offset 0 in records of 16 bytes, in the unit's flash at
// 0x80000000 as the microcontroller text has it.
std::string hexTextOf(const std::string& image) {
    std::string text;
    for (std::size_t offset = 0; offset < image.size(); offset += 16) {
        if (offset % 0x10000 == 0) {
            text += reference_hex::record(4, 0, {0x80, static_cast<uint8_t>(offset >> 16)}) + "\r\n";
        }
        const std::string piece = image.substr(offset, 16);
        text += reference_hex::record(0, offset & 0xFFFF, std::vector<uint8_t>(piece.begin(), piece.end())) +
                "\r\n";
    }
    return text + ":00000001FF\r\n";
}

class WebFile : public ::testing::Test {
  protected:
    void SetUp() override {
        enterFreshFolder(std::string("scratch-") +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(WorkingBuffers_Setup());
    }
    void TearDown() override { WorkingBuffers_Release(); }
    // Writes the file from a microcontroller text holding `image`; returns the result.
    BOOL write(const std::string& image) {
        const std::string text = hexTextOf(image);
        std::free(gHexFirmware);
        gHexFirmware = static_cast<char*>(std::calloc(text.size() + 16, 1));
        std::memcpy(gHexFirmware, text.data(), text.size());
        virtual_console::reset();
        virtual_console::setInput("k");
        return createFirmwareFileForWeb();
    }
};

// What the file must hold for `image` -- five header lines, then the Base64 text with its
// padding turned into "A", in lines of 928 characters, the last without a line end -- and what
// the writer prints.
struct WebFileText {
    std::string header, body, console;
};
WebFileText expected(const std::string& image) {
    const uint32_t sum = reference_hex::checksum(image.begin(), image.end());
    std::string text = reference_base64::encode(image);
    std::replace(text.begin(), text.end(), '=', 'A');
    const std::string s = std::to_string(sum), n = std::to_string(image.size());
    WebFileText file{"KovLar\r\n627184\r\n1.0.3\r\n" + s + "\r\n" + n + "\r\n", "",
                     "\r\n Firmware data is valid !\r\n\r\n Firmware CheckSum = " + s +
                         " !\r\n\r\n Firmware CheckSum u = " + s + " !\r\n\r\n Firmware data length = " + n +
                         " !\r\n"};
    for (std::size_t at = 0; at < text.size(); at += 928) {
        file.body += (at > 0 ? "\r\n" : "") + text.substr(at, 928);
    }
    return file;
}

TEST_F(WebFile, HeaderAndBodyForImagesOfEverySizeAndNoBodyForOneTooLong) {
    for (const std::size_t length : {0, 1, 2, 3, 696, 921, 460797, 460798}) {
        SCOPED_TRACE(length);
        const std::string image = randomBytes(length);
        const bool fits = length <= 460797; // the text and its terminator in 614,400 bytes
        EXPECT_EQ(write(image), fits ? 1 : 0);
        const WebFileText file = expected(image);
        EXPECT_EQ(readFile(FIRMWARE_FILE_NAME_FOR_WEB), file.header + (fits ? file.body : ""));
        EXPECT_EQ(virtual_console::output(),
                  file.console + (fits ? "" : "\r\n ERROR BASE 64 !\r\n") + "\r\nPress any key to exit");
        EXPECT_EQ(virtual_console::keyWaits(), 1);
    }
}

TEST_F(WebFile, InvalidTextOrAFileThatCannotBeWrittenIsNoSuccess) {
    std::strcpy(gHexFirmware, ":0412340001020305AC\r\n");
    virtual_console::reset();
    EXPECT_EQ(createFirmwareFileForWeb(), 0);
    EXPECT_EQ(virtual_console::output(), "\r\n intel_hex_line_is_valid \r\n:0412340001020305AC\r\n"
                                         "\r\nERROR: Firmware data is not valid !\r\n");
    EXPECT_FALSE(std::filesystem::exists(FIRMWARE_FILE_NAME_FOR_WEB));
    EXPECT_EQ(virtual_console::keyWaits(), 0);

    // The program: the embedded firmware written whole, status 0; a folder standing where the
    // file should go, status 1.
    WorkingBuffers_Release();
    virtual_console::reset();
    EXPECT_EQ(VelmoraFwWebFile_main(), 0);
    const reference_hex::Image mcu = reference_hex::flatten(std::string(AUTOGEN_FILES[0].fileData));
    const WebFileText file = expected(std::string(mcu.bytes.begin(), mcu.bytes.begin() + mcu.length));
    EXPECT_EQ(readFile(FIRMWARE_FILE_NAME_FOR_WEB), file.header + file.body);
    EXPECT_EQ(virtual_console::output(),
              "\n\rWriting FwToUpload.bin for the web upload of firmware version 1.0.3\n\r" + file.console +
                  "\r\nPress any key to exit");
    std::filesystem::remove(FIRMWARE_FILE_NAME_FOR_WEB);
    std::filesystem::create_directory(FIRMWARE_FILE_NAME_FOR_WEB);
    virtual_console::reset();
    EXPECT_EQ(VelmoraFwWebFile_main(), 1);
    EXPECT_NE(virtual_console::output().find("ERROR: File does not exists\n"), std::string::npos);
    ASSERT_TRUE(WorkingBuffers_Setup());
}

} // namespace
