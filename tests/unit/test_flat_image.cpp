// Flattening a hex text into the 4 MiB image with its length and checksum, the embedded
// firmware texts, and the working buffers they are copied into.
#include "FlatImage.h"
#include "VirtualConsole.h"
#include "WorkingBuffers.h"
#include "firmware/BinImage.h"

#include "Files.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using reference_hex::record;

std::vector<uint8_t> bytesFrom(uint8_t first, std::size_t count) {
    std::vector<uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + 7 * i);
    }
    return bytes;
}

std::string line(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    return record(type, address, data) + "\r\n";
}

const std::string kEof = ":00000001FF\r\n";

class FlatImage : public ::testing::Test {
protected:
    void SetUp() override {
        virtual_console::reset();
        ASSERT_TRUE(WorkingBuffers_Setup());
    }
    void TearDown() override { WorkingBuffers_Release(); }
};

TEST_F(FlatImage, RecordsLandAtTheirAddressesAndTheLengthReachesPastTheLastByte) {
    using Placed = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;
    const auto a = bytesFrom(1, 16), b = bytesFrom(100, 16), c = bytesFrom(200, 43), d = bytesFrom(9, 44);
    const std::string bad = record(0, 0x10, b).replace(12, 1, "0"); // a digit changed, checksum not mended
    struct Row { std::string text; BOOL result; int32_t length; Placed placed; std::string console; };
    const Row rows[] = {
        {line(0, 0, a) + kEof, 1, 16, {{0, a}}, ""},
        {line(0, 0, a) + line(0, 0x10, b), 1, 32, {{0, a}, {0x10, b}}, ""},
        // Only the second byte of an extended linear address counts: 0x8001 lands at 0x10000.
        {line(4, 0, {0x80, 0x01}) + line(0, 0x20, a), 1, 0x10030, {{0x10020, a}}, ""},
        // End of file and start address change nothing; the walk goes on after end of file.
        {line(0, 0, a) + line(5, 0, {0, 0, 0x80, 0}) + kEof + line(0, 0x40, b), 1, 0x50, {{0, a}, {0x40, b}}, ""},
        {kEof, 1, 0, {}, ""},
        {"", 1, 0, {}, ""},
        {record(0, 0, a) + record(0, 0x10, b), 1, 32, {{0, a}, {0x10, b}}, ""}, // found by ':' alone
        {line(0, 0x30, {}) + kEof, 1, 0x30, {}, ""},                            // stores nothing
        {line(4, 0, {0, 0x3F}) + line(0, 0xFFF0, a), 1, 0x400000, {{0x3FFFF0, a}}, ""}, // up to the end
        {line(0, 0, c), 1, 43, {{0, c}}, ""},   // 97 characters and CR LF: the longest that fits
        {record(0, 0, d), 1, 44, {{0, d}}, ""}, // 99 characters without a line end fit too
        {line(0, 0, a) + line(0, 0, d), 0, 16, {{0, a}}, "\r\n intel_hex_line_is_valid \r\n" + record(0, 0, d) + "\r\n"},
        {line(0, 0, a) + bad + "\r\n", 0, 16, {{0, a}}, "\r\n intel_hex_line_is_valid \r\n" + bad + "\r\n"},
        {line(4, 0, {0x01}) + kEof, 0, 0, {}, "\r\n intel_hex_line_is_valid \r\n:0100000401FA\r\n"},
        {line(4, 0, {0, 0x40}) + line(0, 0, a), 0, 0, {}, "\r\n intel_hex_line_is_valid \r\n" + record(0, 0, a) + "\r\n"},
        {"junk" + kEof, 0, 0, {}, "\r\n intel_hex_line_is_valid \r\n:junk\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 60));
        virtual_console::reset();
        std::vector<uint8_t> expected(CONCAT_BUFFER_SIZE, 0xFF);
        uint32_t sum = 0;
        for (const auto& [address, data] : row.placed) {
            std::copy(data.begin(), data.end(), expected.begin() + address);
        }
        for (int32_t i = 0; i < row.length; ++i) {
            sum += expected[static_cast<std::size_t>(i)];
        }
        std::string text = row.text;
        EXPECT_EQ(ValidateFwAndConcatenateData(text.data()), row.result);
        EXPECT_EQ(gDataConcatenatedLenght, row.length);
        EXPECT_EQ(virtual_console::output(), row.console);
        EXPECT_EQ(std::memcmp(gDataConcatenated, expected.data(), expected.size()), 0);
        computeImageCheckSum();
        EXPECT_EQ(gDataConcatenatedCheckSum, 0u - sum);
    }
}

// The embedded texts are the generated files byte for byte, zero-terminated, of the documented
// shape, and copied out with 16 zero bytes after them. (What they flatten to is checked against
// an independent reader where the update sends the images.)
TEST_F(FlatImage, EmbeddedTextsAndTheirCopies) {
    const char* names[] = {"M627184_MCU_61_V1_03.hex", "M627184_TX_XC7A15_V1_03.mcs", "M627184_RX_XC7A15_V1_03.mcs"};
    const std::size_t arraySizes[] = {sizeof M627184_MCU_61_V1_03_hex, sizeof M627184_TX_XC7A15_V1_03_mcs,
                                      sizeof M627184_RX_XC7A15_V1_03_mcs};
    for (int i = 0; i < 3; ++i) {
        const autogen_files& entry = AUTOGEN_FILES[i];
        SCOPED_TRACE(names[i]);
        EXPECT_STREQ(entry.filePath, names[i]);
        EXPECT_EQ(static_cast<std::size_t>(entry.filePathLength), std::strlen(names[i]));
        const std::string text(entry.fileData, static_cast<std::size_t>(entry.fileDataLength) + 1);
        EXPECT_EQ(arraySizes[i], text.size());
        EXPECT_EQ(text, readFile(std::string(FWUPGRADE_FIRMWARE_SOURCE_DIR) + "/" + names[i]) + '\0');
        std::string problem;
        const auto records = reference_hex::parse(text.substr(0, text.size() - 1), problem);
        ASSERT_EQ(problem, "") << "CR LF after every record, upper-case digits";
        EXPECT_EQ(records.front().type * 10 + records.back().type, 41u) << "an address record first, end of file last";
        char* copy = WorkingBuffers_CopyImageText(i);
        EXPECT_EQ(std::string(copy, text.size() + 15), text + std::string(15, '\0'));
        std::free(copy);
    }
    EXPECT_EQ(WorkingBuffers_CopyImageText(3), nullptr);
    EXPECT_EQ(WorkingBuffers_CopyImageText(-1), nullptr);
}

TEST_F(FlatImage, WorkingBuffersHaveTheirContentAndGuardBytes) {
    const std::size_t textLength = static_cast<std::size_t>(AUTOGEN_FILES[0].fileDataLength);
    EXPECT_EQ(std::string(gHexFirmware, textLength + 16),
              std::string(AUTOGEN_FILES[0].fileData, textLength) + std::string(16, '\0'));
    EXPECT_TRUE(std::all_of(gDataConcatenated, gDataConcatenated + CONCAT_BUFFER_SIZE, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gDataConcatenated) + CONCAT_BUFFER_SIZE, CONCAT_BUFFER_GUARD),
              std::string(CONCAT_BUFFER_GUARD, '\0'));
    EXPECT_TRUE(std::all_of(gDataBuffer, gDataBuffer + DATA_BUFFER_SIZE, [](char c) { return c == '\0'; }));
    WorkingBuffers_Release();
    EXPECT_EQ(gDataBuffer, nullptr);
    EXPECT_EQ(gDataConcatenated, nullptr);
    EXPECT_EQ(gHexFirmware, nullptr);
    EXPECT_EQ(gHexFPGA_Code, nullptr);
}

} // namespace
