// The web upload file: the Base64 codec, the single output file, and "FwToUpload.bin" itself with
// its header lines and its body in lines of 928 characters, against coreutils' base64.
#include "Encoder.h"
#include "FileAPI.h"
#include "VirtualConsole.h"
#include "WebUploadFile.h"
#include "WorkingBuffers.h"

#include "ConsoleText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

int VelmoraFwWebFile_main(); // the web file program's entry, built into the tests under this name

namespace {

const auto* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(Base64, DecoderSkipsLineEndsAndRefusesWhatIsNotBase64) {
    struct Row {
        std::string text;
        int room, result, roomAfter;
        std::string bytes;
        int cut = 0; // characters of the text not handed over: its length is the bound, not its end
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
        {"YWJjZABj", 8, 0, 3, "abc", 1},
        {"YWJj\r\n", 8, -1, 8, "", 1}, // a lone CR at the end
    };
    for (const Row& row : rows) {
        unsigned char out[16] = {};
        int room = row.room;
        const int length = static_cast<int>(row.text.size()) - row.cut;
        EXPECT_EQ(base64_decode(out, &room, bytes(row.text), length), row.result) << row.text;
        EXPECT_EQ(room, row.roomAfter) << row.text;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), row.bytes.size()), row.bytes);
    }
    int room = 1; // the encoder, given nothing, writes nothing and succeeds
    EXPECT_EQ(std::pair(base64_encode(nullptr, &room, nullptr, 0), room), std::pair(0, 1));
}

// The current file: created or appended to in binary mode, and every failure reported.
TEST(FileOutput, OneCurrentFileAndAMessageForEveryFailure) {
    enterFreshFolder("scratch-file-output");
    const std::string noFile = "ERROR: File does not exists or Not opened !\n",
                      closeFailed = "ERROR: File close failed, the file is incomplete !\n";
    virtual_console::reset();
    const std::vector<BOOL> results = {
        // in this order
        FileAPI_CreateFile("out.bin", 1), FileAPI_writeToFileBinary("ab\r\n", 4), FileAPI_CloseFile(),
        FileAPI_OpenFile_ToWrite("out.bin", 1), FileAPI_writeToFileBinary("cd", 2), FileAPI_CloseFile(),
        FileAPI_CloseFile(), FileAPI_CreateFile("missing/out.bin", 1),
        FileAPI_OpenFile_ToWrite("missing/out.bin", 0), FileAPI_writeToFileBinary("x", 1),
        // A full device: the write the stream cannot hold, or the close that stores the rest, fails.
        FileAPI_CreateFile("/dev/full", 1),
        FileAPI_writeToFileBinary(std::string(1 << 20, 'x').data(), 1 << 20), FileAPI_CloseFile(),
        FileAPI_CreateFile("/dev/full", 0), FileAPI_writeToFileBinary("x", 1), FileAPI_CloseFile()};
    EXPECT_EQ(results, (std::vector<BOOL>{1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 0}));
    EXPECT_EQ(readFile("out.bin"), "ab\r\ncd");
    EXPECT_EQ(virtual_console::output(),
              noFile + "ERROR: File does not exists\nERROR: File does not exists\n" + noFile +
                  "ERROR: File write failed, the file is incomplete !\n" + closeFailed + closeFailed);
}

// What the file must hold for `image` -- five header lines, then, when the image fits, its Base64
// text as coreutils made it at build time (base64-`name`, already in the file's lines of 928 with
// "A" for padding: see tests/CMakeLists.txt) -- and what the writer prints.
struct WebFileText {
    std::string file, console;
};
WebFileText expected(const std::string& image, const std::string& name, bool fits = true) {
    const std::string s = std::to_string(checksum(image.begin(), image.end())),
                      n = std::to_string(image.size());
    return {"KovLar\r\n627184\r\n1.0.3\r\n" + s + "\r\n" + n + "\r\n" +
                (fits ? readFile(FWUPGRADE_EXPECTED_IMAGES "/base64-" + name) : ""),
            "\r\n Firmware data is valid !\r\n\r\n Firmware CheckSum = " + s +
                " !\r\n\r\n Firmware CheckSum u = " + s + " !\r\n\r\n Firmware data length = " + n +
                " !\r\n" + (fits ? "" : "\r\n ERROR BASE 64 !\r\n") + "\r\nPress any key to exit"};
}

TEST(WebFile, HeaderAndBodyForImagesOfEverySizeAndNoBodyForOneTooLong) {
    enterFreshFolder("scratch-web-file");
    ASSERT_TRUE(WorkingBuffers_Setup());
    const std::string rx = expectedImage("M627184_RX_XC7A15_V1_03.mcs");
    for (const std::size_t length : {0, 1, 2, 696, 921, 460797, 460798}) {
        SCOPED_TRACE(length);
        // The microcontroller text holding the image in records of 16 bytes, at 0x80000000 as in the unit.
        const std::string image = rx.substr(0, length), name = std::to_string(length);
        const std::string text =
            readFile(FWUPGRADE_EXPECTED_IMAGES "/text-" + name + ".hex"); // at 0x80000000
        std::free(gHexFirmware);
        gHexFirmware = static_cast<char*>(std::calloc(text.size() + 16, 1));
        std::memcpy(gHexFirmware, text.data(), text.size());
        virtual_console::reset();
        virtual_console::setInput("k");
        const bool fits = length <= 460797; // the text and its terminator in 614,400 bytes
        EXPECT_EQ(createFirmwareFileForWeb(), fits);
        const WebFileText file = expected(image, name, fits);
        EXPECT_TRUE(readFile(FIRMWARE_FILE_NAME_FOR_WEB) == file.file);
        EXPECT_EQ(virtual_console::output(), file.console);
        EXPECT_EQ(virtual_console::keyWaits(), 1);
    }
    gHexFirmware[0] = 'x'; // a text that is not Intel HEX: refused, and the technician is told why
    EXPECT_FALSE(createFirmwareFileForWeb());
    EXPECT_NE(virtual_console::output().find("ERROR: Firmware data is not valid !"), std::string::npos);
    WorkingBuffers_Release();
}

// The program: the embedded firmware written whole, status 0; a folder standing where the file
// should go, status 1.
TEST(WebFile, TheProgramWritesTheEmbeddedFirmwareOrSaysWhyNot) {
    enterFreshFolder("scratch-web-program");
    virtual_console::reset();
    EXPECT_EQ(VelmoraFwWebFile_main(), 0);
    const WebFileText file = expected(expectedImage("M627184_MCU_61_V1_03.hex"), "mcu");
    EXPECT_TRUE(readFile(FIRMWARE_FILE_NAME_FOR_WEB) == file.file);
    EXPECT_EQ(virtual_console::output(),
              "\n\rWriting FwToUpload.bin for the web upload of firmware version 1.0.3\n\r" + file.console);
    std::filesystem::remove(FIRMWARE_FILE_NAME_FOR_WEB);
    std::filesystem::create_directory(FIRMWARE_FILE_NAME_FOR_WEB);
    virtual_console::reset();
    EXPECT_EQ(VelmoraFwWebFile_main(), 1);
    EXPECT_NE(virtual_console::output().find("ERROR: File does not exists\n"), std::string::npos);
}

} // namespace
