// The hex text helpers, the tokeniser that cuts a hex text into records, and the readers of one
// Intel HEX record line.
#include "IntelHex.h"
#include "StringOperations.h"
#include "VirtualConsole.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#include <sys/resource.h>
#define CAN_LIMIT_MEMORY 1
#endif

namespace {

TEST(HexText, DigitsAndPairs) {
    const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15},
                                           {'g', 0}, {'G', 0}, {'/', 0}, {':', 0}, {'@', 0}, {'`', 0}};
    for (const auto& [c, value] : digits) {
        EXPECT_EQ(int_from_hex_char(c), value) << c;
    }
    const std::pair<std::string, int> pairs[] = {{"G1", 1}, {"7", 7}, {"7F3", 0x7F}, {"ff", 255}, {"", 0}, {"0A", 10}};
    for (auto [text, value] : pairs) {
        EXPECT_EQ(u8_from_hex_string(text.data()), value) << text;
    }
}

// Cuts `text` and returns the pieces, and the text as the cut left it.
std::vector<std::string> split(std::string& text, const char* separators) {
    char** list = str_split(text.data(), separators);
    std::vector<std::string> pieces;
    for (char** p = list; p != nullptr && *p != nullptr; ++p) {
        pieces.emplace_back(*p);
    }
    std::free(list);
    return pieces;
}

TEST(HexText, TokeniserCutsInPlaceWithoutEmptyPieces) {
    struct Row { std::string text; const char* separators; std::vector<std::string> pieces; std::string after; };
    const Row rows[] = {
        {":10AB\r\n:00FF", ":", {"10AB\r\n", "00FF"}, std::string(":10AB\r\n\0" "00FF", 12)},
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
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        pages = std::fscanf(statm, "%ld", &pages) == 1 ? pages : 0;
        std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * 4096u + 16u * 1024u * 1024u;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
    std::free(str_split(text.data(), ":"));
    std::_Exit(0);
}

TEST(HexTextDeathTest, TokeniserOutOfMemoryEndsTheProcessWithAFailureStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(splitWithoutMemory(), ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY), "^Memoire insuffisante\n$");
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
    struct Row { std::string line; int valid, length, address, type, isData, isAddress; std::vector<uint8_t> data; };
    const Row rows[] = {
        {":00000001FF", 1, 0, 0, 1, 0, 0, {}},
        {":020000040000FA", 1, 2, 0, 4, 0, 1, {0x00, 0x00}},
        {":0200000480007A", 1, 2, 0, 4, 0, 1, {0x80, 0x00}},
        {":020000140000EA", 1, 2, 0, 4, 0, 1, {0x00, 0x00}}, // only the type's second digit counts
        {":0412340001020304AC", 1, 4, 0x1234, 0, 1, 0, {1, 2, 3, 4}},
        {":0412340001020304ac", 1, 4, 0x1234, 0, 1, 0, {1, 2, 3, 4}},
        {":0412340001020305AC", 0, 4, 0, 0, 1, 0, {}},  // a changed digit, checksum not mended
        {":0412340001020304AC0", 0, 4, 0, 0, 1, 0, {}}, // checked against its last two characters
        {"0412340001020304AC", 0, 0x41, 0, 0, 1, 0, {}}, // no start code: the fields shift
        {":FF00000000", 0, 255, 0, 0, 1, 0, {}},        // too short for its own length
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
    std::string bytes = "0200000400";
    EXPECT_EQ(u8_checksum_from_hex_string(bytes.data(), 5), 0xFA);
    bytes = "FFFF";
    EXPECT_EQ(u8_checksum_from_hex_string(bytes.data(), 2), 0x02);
    EXPECT_EQ(u8_checksum_from_hex_string(bytes.data(), 0), 0);

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
        std::string longest = ":" + std::string(length == 252 ? "FC" : "FD") + "000000" + std::string(2 * length, 'A') + checksum;
        EXPECT_EQ(intel_hex_line_is_valid(longest.data()), INTEL_HEX_STRING_OK) << length;
        longest.back() = '9';
        EXPECT_EQ(intel_hex_line_is_valid(longest.data()), INTEL_HEX_STRING_INVALID) << length;
    }
}

} // namespace
