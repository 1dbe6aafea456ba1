// The firmware images: the hex text helpers, the tokeniser that cuts a hex text into records, the
// readers of one record line, and flattening into the 4 MiB image with its length and checksum.
#include "FlatImage.h"
#include "IntelHex.h"
#include "StringOperations.h"
#include "VirtualConsole.h"
#include "WorkingBuffers.h"

#include "ConsoleText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <tuple>

namespace {

using namespace std::string_literals;

TEST(HexText, DigitsPairsAndLineBreaks) {
    const std::string digits = "09AFafgG/:@`"; // the ends of each range, and the characters just beyond
    const int values[] = {0, 9, 10, 15, 10, 15, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(int_from_hex_char(digits[i]), values[i]) << digits[i];
    }
    for (auto [text, value] : {std::pair{"G1"s, 1}, {"7", 7}, {"7F3", 0x7F}, {"ff", 255}, {"", 0}}) {
        EXPECT_EQ(u8_from_hex_string(text.data()), value) << text;
    }
    char cut[] = "AB\r\nCD\rE\n", joined[] = "1.0.2\r\nQV7\n1.3\r9";
    EXPECT_EQ(StrRemoveNL(cut, 0) + StrRemoveNL(joined, ' '), 2);
    EXPECT_EQ(std::string(cut, sizeof cut), "AB\0\0CD\0E\0\0"s);
    EXPECT_STREQ(joined, "1.0.2  QV7 1.3 9");
}

// Cuts `text` in place and returns the pieces.
std::vector<std::string> split(std::string& text, const char* separators) {
    char** list = str_split(text.data(), separators);
    const std::vector<std::string> pieces(list, std::find(list, list + text.size() + 1, nullptr));
    std::free(list);
    return pieces;
}

TEST(HexText, TokeniserCutsInPlaceWithoutEmptyPieces) {
    // The text, the separators, the pieces, and the text after the cuts.
    using Row = std::tuple<std::string, const char*, std::vector<std::string>, std::string>;
    const Row rows[] = {
        {":10AB\r\n:00FF", ":", {"10AB\r\n", "00FF"}, ":10AB\r\n\0"s + "00FF"},
        {"::A::B", ":", {"A", "B"}, "::A\0:B"s},
        {"", ":", {}, ""},
        {":::", ":", {}, ":::"},
        {"a,b;;c;", ",;", {"a", "b", "c"}, "a\0b\0;c\0"s},
    };
    for (auto [text, separators, pieces, after] : rows) {
        EXPECT_EQ(split(text, separators), pieces) << after;
        EXPECT_EQ(text, after);
    }
    EXPECT_EQ(str_split(nullptr, ":"), nullptr);
    EXPECT_EQ(str_split(":a"s.data(), nullptr), nullptr);
}

// What the readers of one record line make of it: valid or not, length, address, type, data bytes.
using Reading = std::tuple<int, int, int, int, std::vector<uint8_t>>;
Reading read(std::string text) {
    char* line = text.data();
    const int length = intel_hex_line_data_length(line), type = intel_hex_line_record_type(line);
    EXPECT_EQ(intel_hex_start_code_present(line), text[0] == ':');
    EXPECT_EQ(intel_hex_line_is_data_record(line), type == 0);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(line), type == 4);
    uint8_t* data = new_u8_data_array_from_intel_hex_string(line);
    EXPECT_EQ(data != nullptr, intel_hex_line_is_valid(line) == INTEL_HEX_STRING_OK);
    Reading reading{intel_hex_line_is_valid(line), length, intel_hex_line_address(line), type,
                    data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + length)};
    std::free(data);
    return reading;
}

TEST(RecordLine, ReadersAgreeOnEveryField) {
    // For the longest records the 8-bit count of the bytes summed wraps: L = 252 sums none, 253
    // only the length byte.
    const std::string fc = ":FC000000" + std::string(504, 'A'), fd = ":FD000000" + std::string(506, 'A');
    const std::pair<std::string, Reading> rows[] = {
        {":00000001FF", {1, 0, 0, 1, {}}},
        {":020000040000FA", {1, 2, 0, 4, {0x00, 0x00}}},
        {":0200000480007A", {1, 2, 0, 4, {0x80, 0x00}}},
        {":020000140000EA", {1, 2, 0, 4, {0x00, 0x00}}}, // only the type's second digit counts
        {":0412340001020304AC", {1, 4, 0x1234, 0, {1, 2, 3, 4}}},
        {":0412340001020304ac", {1, 4, 0x1234, 0, {1, 2, 3, 4}}},
        {":0412340001020305AC", {0, 4, 0, 0, {}}},   // a changed digit, checksum not mended
        {":0412340001020304AC0", {0, 4, 0, 0, {}}},  // checked against its last two characters
        {"0412340001020304AC", {0, 0x41, 0, 0, {}}}, // no start code: the fields shift
        {":FF00000000", {0, 255, 0, 0, {}}},         // too short for its own length
        {":00000004", {0, 0, 0, 4, {}}},             // shorter than any record, its type still read
        {":", {0, 0, 0, 0xFF, {}}},                  // no fields at all: length 0, no type
        {fc + "00", {1, 252, 0, 0, std::vector<uint8_t>(252, 0xAA)}},
        {fc + "09", {0, 252, 0, 0, {}}},
        {fd + "03", {1, 253, 0, 0, std::vector<uint8_t>(253, 0xAA)}},
        {fd + "09", {0, 253, 0, 0, {}}},
    };
    for (const auto& [line, reading] : rows) {
        SCOPED_TRACE(line.substr(0, 30));
        EXPECT_EQ(read(line), reading);
    }
    for (auto [hex, n, sum] : {std::tuple{"0200000400"s, uint8_t{5}, 0xFA}, {"FFFF", 2, 2}, {"FF", 0, 0}}) {
        EXPECT_EQ(u8_checksum_from_hex_string(hex.data(), n), sum) << hex;
    }
    // Every digit changed to another digit, without mending the checksum, spoils the record.
    const std::string good = ":10010000214601360121470136007EFE09D2190140";
    for (std::size_t i = 1; i < good.size(); ++i) {
        std::string bad = std::string(good).replace(i, 1, good[i] == '7' ? "8" : "7");
        EXPECT_EQ(intel_hex_line_is_valid(bad.data()), INTEL_HEX_STRING_INVALID) << bad;
    }
}

std::vector<uint8_t> bytesFrom(uint8_t first, std::size_t count) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}
std::string line(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    return record(type, address, data) + "\r\n";
}
std::string refused(const std::string& record) {
    return "\r\n intel_hex_line_is_valid \r\n" + record + "\r\n";
}

TEST(FlatImage, RecordsLandAtTheirAddressesAndTheLengthReachesPastTheLastByte) {
    ASSERT_TRUE(WorkingBuffers_Setup());
    const auto a = bytesFrom(1, 16), b = bytesFrom(100, 16), c = bytesFrom(200, 43), d = bytesFrom(9, 44);
    // A record with a changed digit, its checksum not mended.
    const std::string eof = ":00000001FF\r\n", bad = record(0, 0x10, b).replace(12, 1, "0");
    struct Row {
        std::string text;
        int32_t length;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> placed;
        std::string console = ""; // the record refused; none, and the text accepted, when empty
    };
    const Row rows[] = {
        {line(0, 0, a) + eof, 16, {{0, a}}},
        {line(0, 0, a) + line(0, 0x10, b), 32, {{0, a}, {0x10, b}}},
        // Only the second byte of an extended linear address counts: 0x8001 lands at 0x10000.
        {line(4, 0, {0x80, 0x01}) + line(0, 0x20, a), 0x10030, {{0x10020, a}}},
        // End of file and start address change nothing; the walk goes on after end of file.
        {line(0, 0, a) + line(5, 0, {0, 0, 0x80, 0}) + eof + line(0, 0x40, b), 0x50, {{0, a}, {0x40, b}}},
        {eof, 0, {}},
        {"", 0, {}},
        {record(0, 0, a) + record(0, 0x10, b), 32, {{0, a}, {0x10, b}}},         // found by ':' alone
        {line(0, 0x30, {}) + eof, 0x30, {}},                                     // stores nothing
        {line(4, 0, {0, 0x3F}) + line(0, 0xFFF0, a), 0x400000, {{0x3FFFF0, a}}}, // up to the end
        {line(0, 0, c), 43, {{0, c}}}, // 97 characters and CR LF: the longest that fits
        {line(0, 0, c) + "\n" + eof, 0, {}, refused(record(0, 0, c))}, // one more
        {record(0, 0, d), 44, {{0, d}}},                               // 99 without a line end fit too
        {line(0, 0, a) + line(0, 0, d), 16, {{0, a}}, refused(record(0, 0, d))},
        {line(0, 0, a) + bad + "\r\n", 16, {{0, a}}, refused(bad)},
        {line(4, 0, {0x01}) + eof, 0, {}, refused(":0100000401FA")},
        {line(4, 0, {0, 0x40}) + line(0, 0, a), 0, {}, refused(record(0, 0, a))},
        {"junk" + eof, 0, {}, refused(":junk")},
    };
    for (Row row : rows) {
        SCOPED_TRACE(row.text.substr(0, 60));
        virtual_console::reset();
        std::vector<uint8_t> expected(CONCAT_BUFFER_SIZE + CONCAT_BUFFER_GUARD, 0xFF);
        std::fill(expected.end() - CONCAT_BUFFER_GUARD, expected.end(), 0);
        for (const auto& [address, data] : row.placed) {
            std::copy(data.begin(), data.end(), expected.begin() + address);
        }
        EXPECT_EQ(ValidateFwAndConcatenateData(row.text.data()), row.console.empty());
        EXPECT_EQ(gDataConcatenatedLenght, row.length);
        EXPECT_EQ(virtual_console::output(), row.console);
        EXPECT_EQ(std::memcmp(gDataConcatenated, expected.data(), expected.size()), 0);
        computeImageCheckSum();
        EXPECT_EQ(gDataConcatenatedCheckSum, checksum(expected.begin(), expected.begin() + row.length));
    }
    WorkingBuffers_Release();
}

} // namespace
