// The firmware images: the hex text helpers, the tokeniser that cuts a hex text into records,
// the readers of one Intel HEX record line, flattening into the 4 MiB image with its length and
// checksum, the embedded texts and the working buffers they are copied into.
#include "FlatImage.h"
#include "IntelHex.h"
#include "StringOperations.h"
#include "VirtualConsole.h"
#include "WorkingBuffers.h"
#include "firmware/BinImage.h"

#include "Files.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#include <sys/resource.h>
#define CAN_LIMIT_MEMORY 1
#endif

namespace {

TEST(HexText, DigitsAndPairs) {
    const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15},
                                           {'g', 0}, {'G', 0}, {'/', 0},  {':', 0},  {'@', 0},  {'`', 0}};
    for (const auto& [c, value] : digits) {
        EXPECT_EQ(int_from_hex_char(c), value) << c;
    }
    const std::pair<std::string, int> pairs[] = {{"G1", 1},   {"7", 7}, {"7F3", 0x7F},
                                                 {"ff", 255}, {"", 0},  {"0A", 10}};
    for (auto [text, value] : pairs) {
        EXPECT_EQ(u8_from_hex_string(text.data()), value) << text;
    }
}

// Cuts `text` in place and returns the pieces.
std::vector<std::string> split(std::string& text, const char* separators) {
    char** list = str_split(text.data(), separators);
    const std::vector<std::string> pieces(list, std::find(list, list + text.size() + 1, nullptr));
    std::free(list);
    return pieces;
}

TEST(HexText, TokeniserCutsInPlaceWithoutEmptyPieces) {
    struct Row {
        std::string text;
        const char* separators;
        std::vector<std::string> pieces;
        std::string after;
    };
    const Row rows[] = {
        {":10AB\r\n:00FF",
         ":",
         {"10AB\r\n", "00FF"},
         std::string(":10AB\r\n\0"
                     "00FF",
                     12)},
        {"::A::B", ":", {"A", "B"}, std::string("::A\0:B", 6)},
        {"", ":", {}, ""},
        {":::", ":", {}, ":::"},
        {"a,b;;c;", ",;", {"a", "b", "c"}, std::string("a\0b\0;c\0", 7)},
    };
    for (Row row : rows) {
        EXPECT_EQ(split(row.text, row.separators), row.pieces) << row.after;
        EXPECT_EQ(row.text, row.after);
    }
    std::string many;
    std::vector<std::string> expected;
    for (int i = 0; i < 5000; ++i) { // the list grows many times
        many += ":" + std::to_string(i);
        expected.push_back(std::to_string(i));
    }
    EXPECT_EQ(split(many, ":"), expected);
    EXPECT_EQ(str_split(nullptr, ":"), nullptr);
    EXPECT_EQ(str_split(many.data(), nullptr), nullptr);
}

#ifdef CAN_LIMIT_MEMORY
// In the death test's child: millions of pieces, and an address-space limit that leaves room for
// the text but not for the list of its pieces. What the tool printed goes to standard error.
[[noreturn]] void splitWithoutMemory() {
    std::string text;
    for (int i = 0; i < 8 * 1024 * 1024; ++i) {
        text += ":a";
    }
    std::atexit([] { std::fputs(virtual_console::output().c_str(), stderr); });
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * 4096u + 16u * 1024u * 1024u;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
    std::free(str_split(text.data(), ":"));
    std::_Exit(0);
}

TEST(HexTextDeathTest, TokeniserOutOfMemoryEndsTheProcessWithAFailureStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(splitWithoutMemory(), ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY),
                "^Memoire insuffisante\n$");
}
#endif

TEST(HexText, LineBreaksAreAllReplaced) {
    char cut[] = "AB\r\nCD\rE\n";
    EXPECT_EQ(StrRemoveNL(cut, 0), 1);
    EXPECT_EQ(std::string(cut, sizeof cut), std::string("AB\0\0CD\0E\0", 10));
    char joined[] = "1.0.2\r\nQV7\n1.3\r9";
    EXPECT_EQ(StrRemoveNL(joined, ' '), 1);
    EXPECT_STREQ(joined, "1.0.2  QV7 1.3 9");
}

// The readers of one record line, each asked about the same lines.
TEST(RecordLine, ReadersAgreeOnEveryField) {
    struct Row {
        std::string line;
        int valid, length, address, type, isData, isAddress;
        std::vector<uint8_t> data;
    };
    const Row rows[] = {
        {":00000001FF", 1, 0, 0, 1, 0, 0, {}},
        {":020000040000FA", 1, 2, 0, 4, 0, 1, {0x00, 0x00}},
        {":0200000480007A", 1, 2, 0, 4, 0, 1, {0x80, 0x00}},
        {":020000140000EA", 1, 2, 0, 4, 0, 1, {0x00, 0x00}}, // only the type's second digit counts
        {":0412340001020304AC", 1, 4, 0x1234, 0, 1, 0, {1, 2, 3, 4}},
        {":0412340001020304ac", 1, 4, 0x1234, 0, 1, 0, {1, 2, 3, 4}},
        {":0412340001020305AC", 0, 4, 0, 0, 1, 0, {}},   // a changed digit, checksum not mended
        {":0412340001020304AC0", 0, 4, 0, 0, 1, 0, {}},  // checked against its last two characters
        {"0412340001020304AC", 0, 0x41, 0, 0, 1, 0, {}}, // no start code: the fields shift
        {":FF00000000", 0, 255, 0, 0, 1, 0, {}},         // too short for its own length
        {":00000004", 0, 0, 0, 4, 0, 1, {}},             // shorter than any record, its type still read
        {":", 0, 0, 0, 0xFF, 0, 0, {}},                  // no fields at all: length 0, no type
    };
    for (Row row : rows) {
        char* line = row.line.data();
        SCOPED_TRACE(row.line);
        EXPECT_EQ(intel_hex_start_code_present(line), row.line[0] == ':');
        EXPECT_EQ(intel_hex_line_is_valid(line), row.valid);
        EXPECT_EQ(intel_hex_line_data_length(line), row.length);
        EXPECT_EQ(intel_hex_line_address(line), row.address);
        EXPECT_EQ(intel_hex_line_record_type(line), row.type);
        EXPECT_EQ(intel_hex_line_is_data_record(line), row.isData);
        EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(line), row.isAddress);
        uint8_t* data = new_u8_data_array_from_intel_hex_string(line);
        EXPECT_EQ(data != nullptr, row.valid == 1);
        if (data != nullptr) {
            EXPECT_EQ(std::vector<uint8_t>(data, data + row.length), row.data);
        }
        std::free(data);
    }
    for (auto [text, count, sum] :
         {std::tuple{std::string("0200000400"), 5, 0xFA}, {"FFFF", 2, 0x02}, {"FF", 0, 0}}) {
        EXPECT_EQ(u8_checksum_from_hex_string(text.data(), static_cast<uint8_t>(count)), sum) << text;
    }

    // Every digit changed to another digit, without mending the checksum, spoils the record.
    const std::string good = ":10010000214601360121470136007EFE09D2190140";
    for (std::size_t i = 1; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = good[i] == '7' ? '8' : '7';
        EXPECT_EQ(intel_hex_line_is_valid(bad.data()), INTEL_HEX_STRING_INVALID) << bad;
    }
    // For the longest records the 8-bit count of the bytes summed wraps: L = 252 sums none, 253
    // only the length byte.
    for (const auto& [length, checksum] : {std::pair{252, "00"}, std::pair{253, "03"}}) {
        std::string longest = ":" + std::string(length == 252 ? "FC" : "FD") + "000000" +
                              std::string(2 * length, 'A') + checksum;
        EXPECT_EQ(intel_hex_line_is_valid(longest.data()), INTEL_HEX_STRING_OK) << length;
        longest.back() = '9';
        EXPECT_EQ(intel_hex_line_is_valid(longest.data()), INTEL_HEX_STRING_INVALID) << length;
    }
}

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
    struct Row {
        std::string text;
        BOOL result;
        int32_t length;
        Placed placed;
        std::string console;
    };
    const Row rows[] = {
        {line(0, 0, a) + kEof, 1, 16, {{0, a}}, ""},
        {line(0, 0, a) + line(0, 0x10, b), 1, 32, {{0, a}, {0x10, b}}, ""},
        // Only the second byte of an extended linear address counts: 0x8001 lands at 0x10000.
        {line(4, 0, {0x80, 0x01}) + line(0, 0x20, a), 1, 0x10030, {{0x10020, a}}, ""},
        // End of file and start address change nothing; the walk goes on after end of file.
        {line(0, 0, a) + line(5, 0, {0, 0, 0x80, 0}) + kEof + line(0, 0x40, b),
         1,
         0x50,
         {{0, a}, {0x40, b}},
         ""},
        {kEof, 1, 0, {}, ""},
        {"", 1, 0, {}, ""},
        {record(0, 0, a) + record(0, 0x10, b), 1, 32, {{0, a}, {0x10, b}}, ""},         // found by ':' alone
        {line(0, 0x30, {}) + kEof, 1, 0x30, {}, ""},                                    // stores nothing
        {line(4, 0, {0, 0x3F}) + line(0, 0xFFF0, a), 1, 0x400000, {{0x3FFFF0, a}}, ""}, // up to the end
        {line(0, 0, c), 1, 43, {{0, c}}, ""}, // 97 characters and CR LF: the longest that fits
        {line(0, 0, c) + "\n" + kEof,
         0,
         0,
         {},
         "\r\n intel_hex_line_is_valid \r\n" + record(0, 0, c) + "\r\n"}, // one more
        {record(0, 0, d), 1, 44, {{0, d}}, ""}, // 99 characters without a line end fit too
        {line(0, 0, a) + line(0, 0, d),
         0,
         16,
         {{0, a}},
         "\r\n intel_hex_line_is_valid \r\n" + record(0, 0, d) + "\r\n"},
        {line(0, 0, a) + bad + "\r\n", 0, 16, {{0, a}}, "\r\n intel_hex_line_is_valid \r\n" + bad + "\r\n"},
        {line(4, 0, {0x01}) + kEof, 0, 0, {}, "\r\n intel_hex_line_is_valid \r\n:0100000401FA\r\n"},
        {line(4, 0, {0, 0x40}) + line(0, 0, a),
         0,
         0,
         {},
         "\r\n intel_hex_line_is_valid \r\n" + record(0, 0, a) + "\r\n"},
        {"junk" + kEof, 0, 0, {}, "\r\n intel_hex_line_is_valid \r\n:junk\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 60));
        virtual_console::reset();
        std::vector<uint8_t> expected(CONCAT_BUFFER_SIZE, 0xFF);
        for (const auto& [address, data] : row.placed) {
            std::copy(data.begin(), data.end(), expected.begin() + address);
        }
        std::string text = row.text;
        EXPECT_EQ(ValidateFwAndConcatenateData(text.data()), row.result);
        EXPECT_EQ(gDataConcatenatedLenght, row.length);
        EXPECT_EQ(virtual_console::output(), row.console);
        EXPECT_EQ(std::memcmp(gDataConcatenated, expected.data(), expected.size()), 0);
        computeImageCheckSum();
        EXPECT_EQ(gDataConcatenatedCheckSum,
                  reference_hex::checksum(expected.begin(), expected.begin() + row.length));
    }
}

// The embedded texts are the generated files byte for byte, zero-terminated, of the documented
// shape, and copied out with 16 zero bytes after them. (What they flatten to is checked against
// an independent reader where the update sends the images.)
TEST_F(FlatImage, EmbeddedTextsAndTheirCopies) {
    const char* names[] = {"M627184_MCU_61_V1_03.hex", "M627184_TX_XC7A15_V1_03.mcs",
                           "M627184_RX_XC7A15_V1_03.mcs"};
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
        EXPECT_EQ(records.front().type * 10 + records.back().type, 41u)
            << "an address record first, end of file last";
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
    EXPECT_TRUE(std::all_of(gDataConcatenated, gDataConcatenated + CONCAT_BUFFER_SIZE,
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(
        std::string(reinterpret_cast<char*>(gDataConcatenated) + CONCAT_BUFFER_SIZE, CONCAT_BUFFER_GUARD),
        std::string(CONCAT_BUFFER_GUARD, '\0'));
    EXPECT_TRUE(std::all_of(gDataBuffer, gDataBuffer + DATA_BUFFER_SIZE, [](char c) { return c == '\0'; }));
    WorkingBuffers_Release();
    EXPECT_EQ(std::vector<const void*>({gDataBuffer, gDataConcatenated, gHexFirmware, gHexFPGA_Code}),
              std::vector<const void*>(4, nullptr));
}

} // namespace
