// The web upload file: header lines, the Base64 body in 928-character lines, and the result
// when the image or the file cannot be written whole. Files are checked against the shared
// independent hex reader and Base64 decoder.
#include "WebUploadFile.h"

#include "ReferenceBase64.h"
#include "ReferenceHex.h"
#include "ScratchDirectory.h"
#include "VirtualConsole.h"
#include "WorkingBuffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string hexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

std::string record(unsigned type, unsigned address, const uint8_t* data, std::size_t length) {
    unsigned sum = static_cast<unsigned>(length) + (address >> 8) + address + type;
    std::string line = ":" + hexByte(static_cast<unsigned>(length)) + hexByte(address >> 8) + hexByte(address) +
                       hexByte(type);
    for (std::size_t i = 0; i < length; ++i) {
        line += hexByte(data[i]);
        sum += data[i];
    }
    return line + hexByte(0x100u - (sum & 0xFFu)) + "\r\n";
}

// Intel HEX text holding `image` at offset 0, in records of 16 bytes, placed at 0x80000000
// like the unit's flash.
std::string hexTextOf(const Bytes& image) {
    std::string text;
    unsigned upper = ~0u;
    for (std::size_t offset = 0; offset < image.size(); offset += 16) {
        const unsigned wantedUpper = 0x8000u + static_cast<unsigned>(offset >> 16);
        if (wantedUpper != upper) {
            upper = wantedUpper;
            const uint8_t ela[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            text += record(4, 0, ela, 2);
        }
        const std::size_t length = std::min<std::size_t>(16, image.size() - offset);
        text += record(0, static_cast<unsigned>(offset & 0xFFFF), &image[offset], length);
    }
    return text + ":00000001FF\r\n";
}

struct UploadFile {
    std::vector<std::string> header;
    std::vector<std::string> bodyLines;
    bool endsWithLineBreak = false;
};

UploadFile parseUploadFile(const std::string& content) {
    UploadFile file;
    std::size_t at = 0;
    for (int i = 0; i < 5; ++i) {
        const std::size_t end = content.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "header line " << i + 1 << " has no CR LF";
            return file;
        }
        file.header.push_back(content.substr(at, end - at));
        at = end + 2;
    }
    const std::string body = content.substr(at);
    file.endsWithLineBreak = body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0;
    for (std::size_t start = 0; start < body.size();) {
        const std::size_t end = body.find("\r\n", start);
        file.bodyLines.push_back(body.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? body.size() : end + 2;
    }
    return file;
}

class WebUploadFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(WorkingBuffers_Setup(), 1);
        virtual_console::reset();
        virtual_console::setInput("k");
    }
    void TearDown() override { WorkingBuffers_Release(); }

    void useHexText(const std::string& text) {
        std::free(gHexFirmware);
        gHexFirmware = static_cast<char*>(std::calloc(text.size() + 16, 1));
        std::memcpy(gHexFirmware, text.data(), text.size());
    }

    // Writes the file from gHexFirmware and checks everything it must hold against the image
    // the independent reader makes of the same text. Returns that image's bytes and the parsed
    // file, for the checks particular to one case.
    std::pair<Bytes, UploadFile> writeAndCheck() {
        std::string problem;
        const auto reference = reference_hex::flatten(reference_hex::parse(gHexFirmware, problem));
        EXPECT_EQ(problem, "");
        const Bytes image(reference.bytes.begin(), reference.bytes.begin() + reference.length);

        EXPECT_EQ(createFirmwareFileForWeb(), 1);
        EXPECT_EQ(virtual_console::keyWaits(), 1);
        const UploadFile file = parseUploadFile(ScratchDirectory::readFile(FIRMWARE_FILE_NAME_FOR_WEB));
        const std::vector<std::string> header = {"KovLar", "627184", "1.0.3", std::to_string(reference.checksum),
                                                 std::to_string(reference.length)};
        EXPECT_EQ(file.header, header);
        EXPECT_FALSE(file.endsWithLineBreak);
        std::string body;
        for (std::size_t i = 0; i < file.bodyLines.size(); ++i) {
            const std::size_t length = file.bodyLines[i].size();
            if (i + 1 < file.bodyLines.size()) {
                EXPECT_EQ(length, 928u) << "line " << i;
            } else {
                EXPECT_TRUE(length >= 1 && length <= 928) << "last line holds " << length;
            }
            body += file.bodyLines[i];
        }
        EXPECT_EQ(body.size(), 4 * ((image.size() + 2) / 3));
        // Each replaced "=" decodes as one more zero byte.
        Bytes expected = image;
        expected.resize(image.size() + (3 - image.size() % 3) % 3, 0);
        EXPECT_EQ(reference_base64::decode(body), std::optional<Bytes>(expected));
        return {image, file};
    }

    ScratchDirectory scratch;
};

Bytes randomImage(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    Bytes image(length);
    for (auto& b : image) b = static_cast<uint8_t>(random());
    return image;
}

TEST_F(WebUploadFileTest, EmptyImageGivesTheHeaderAlone) {
    useHexText(":00000001FF\r\n");
    writeAndCheck();
    EXPECT_EQ(ScratchDirectory::readFile(FIRMWARE_FILE_NAME_FOR_WEB), "KovLar\r\n627184\r\n1.0.3\r\n0\r\n0\r\n");
}

TEST_F(WebUploadFileTest, OneByteImageEndsInTwoReplacedPads) {
    useHexText(hexTextOf({0x4D}));
    const auto [image, file] = writeAndCheck();
    EXPECT_EQ(image, Bytes{0x4D});
    EXPECT_EQ(file.bodyLines, std::vector<std::string>{"TQAA"});
    EXPECT_EQ(virtual_console::output(), "\r\n Firmware data is valid !\r\n"
                                         "\r\n Firmware CheckSum = 4294967219 !\r\n"
                                         "\r\n Firmware CheckSum u = 4294967219 !\r\n"
                                         "\r\n Firmware data length = 1 !\r\n"
                                         "\r\nPress any key to exit");
}

TEST_F(WebUploadFileTest, TextOfExactlyOneLineHasNoLineBreak) {
    useHexText(hexTextOf(randomImage(696, 1)));
    const auto [image, file] = writeAndCheck();
    EXPECT_EQ(image.size(), 696u);
    ASSERT_EQ(file.bodyLines.size(), 1u);
    EXPECT_EQ(file.bodyLines[0].size(), 928u);
}

TEST_F(WebUploadFileTest, LongerTextBreaksAfter928Characters) {
    useHexText(hexTextOf(randomImage(921, 2)));
    const auto [image, file] = writeAndCheck();
    EXPECT_EQ(image.size(), 921u);
    ASSERT_EQ(file.bodyLines.size(), 2u);
    EXPECT_EQ(file.bodyLines[1].size(), 300u);
}

TEST_F(WebUploadFileTest, EmbeddedImageAsTheUpdateToolSetsItUp) {
    const std::string onDisk = ScratchDirectory::readFile(FWUPGRADE_FIRMWARE_SOURCE_DIR "/M627184_MCU_61_V1_03.hex");
    ASSERT_EQ(std::string(gHexFirmware), onDisk);
    const auto [image, file] = writeAndCheck();
    ASSERT_GT(image.size(), 0x8000u);
    EXPECT_EQ(image[0], 0xFF) << "the flash window starts below the firmware";
    EXPECT_EQ(file.bodyLines.size(), (4 * ((image.size() + 2) / 3) + 927) / 928);
}

TEST_F(WebUploadFileTest, LargestImageThatFitsAndTheFirstThatDoesNot) {
    useHexText(hexTextOf(randomImage(460797, 4)));
    EXPECT_EQ(writeAndCheck().first.size(), 460797u);

    const Bytes tooLarge = randomImage(460798, 5);
    uint32_t sum = 0;
    for (const uint8_t b : tooLarge) sum += b;
    useHexText(hexTextOf(tooLarge));
    virtual_console::reset();
    EXPECT_EQ(createFirmwareFileForWeb(), 0);
    EXPECT_NE(virtual_console::output().find("\r\n ERROR BASE 64 !\r\n"), std::string::npos);
    EXPECT_EQ(ScratchDirectory::readFile(FIRMWARE_FILE_NAME_FOR_WEB),
              "KovLar\r\n627184\r\n1.0.3\r\n" + std::to_string(0u - sum) + "\r\n460798\r\n")
        << "the header alone, no body from the failed encoding";
}

TEST_F(WebUploadFileTest, InvalidFirmwareTextTouchesNoFile) {
    useHexText(":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF01\r\n");
    EXPECT_EQ(createFirmwareFileForWeb(), 0);
    EXPECT_NE(virtual_console::output().find("\r\nERROR: Firmware data is not valid !\r\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(FIRMWARE_FILE_NAME_FOR_WEB));
    EXPECT_EQ(virtual_console::keyWaits(), 0);
}

TEST_F(WebUploadFileTest, FileThatCannotBeWrittenIsReportedAsNotWritten) {
    // A folder standing where the file should be: it cannot even be created.
    std::filesystem::create_directory(FIRMWARE_FILE_NAME_FOR_WEB);
    EXPECT_EQ(createFirmwareFileForWeb(), 0);
    EXPECT_NE(virtual_console::output().find("ERROR: File does not exists\n"), std::string::npos);
    EXPECT_EQ(virtual_console::keyWaits(), 1);
    std::filesystem::remove(FIRMWARE_FILE_NAME_FOR_WEB);

    // A full disk: the file opens, but the header cannot be stored.
    WorkingBuffers_Release();
    ASSERT_EQ(WorkingBuffers_Setup(), 1);
    virtual_console::reset();
    std::filesystem::create_symlink("/dev/full", FIRMWARE_FILE_NAME_FOR_WEB);
    EXPECT_EQ(createFirmwareFileForWeb(), 0);
    EXPECT_NE(virtual_console::output().find("ERROR: File close failed"), std::string::npos);
    EXPECT_EQ(virtual_console::output().find("ERROR BASE 64"), std::string::npos);
}

} // namespace
