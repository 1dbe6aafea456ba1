// Reading single Intel HEX record lines.
#include "IntelHex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Record lines are modified by nothing here, but the functions take writable text.
struct Line {
    explicit Line(std::string t) : text(std::move(t)) {}
    char* c() { return &text[0]; }
    std::string text;
};

TEST(RecordChecksum, IsTwosComplementOfTheByteSum) {
    Line bytes("0200000400");
    EXPECT_EQ(u8_checksum_from_hex_string(bytes.c(), 5), 0xFA);
    Line none("");
    EXPECT_EQ(u8_checksum_from_hex_string(none.c(), 0), 0);
    Line wraps("FFFF");
    EXPECT_EQ(u8_checksum_from_hex_string(wraps.c(), 2), 0x02);
}

TEST(RecordFields, EndOfFileRecord) {
    Line eof(":00000001FF");
    EXPECT_EQ(intel_hex_line_is_valid(eof.c()), INTEL_HEX_STRING_OK);
    EXPECT_EQ(intel_hex_line_data_length(eof.c()), 0);
    EXPECT_EQ(intel_hex_line_record_type(eof.c()), INTEL_HEX_RECORD_EOF);
    EXPECT_EQ(intel_hex_line_is_data_record(eof.c()), 0);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(eof.c()), 0);
}

TEST(RecordFields, ExtendedLinearAddressRecordsAndTheirData) {
    Line zero(":020000040000FA");
    ASSERT_EQ(intel_hex_line_is_valid(zero.c()), INTEL_HEX_STRING_OK);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(zero.c()), 1);
    uint8_t* data = new_u8_data_array_from_intel_hex_string(zero.c());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0x00);
    EXPECT_EQ(data[1], 0x00);
    std::free(data);

    Line high(":0200000480007A");
    ASSERT_EQ(intel_hex_line_is_valid(high.c()), INTEL_HEX_STRING_OK);
    data = new_u8_data_array_from_intel_hex_string(high.c());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0x80);
    EXPECT_EQ(data[1], 0x00);
    std::free(data);
}

TEST(RecordFields, DataRecordAddressAndBytesInEitherCase) {
    Line upper(":0412340001020304AC");
    Line lower(":0412340001020304ac");
    for (Line* line : {&upper, &lower}) {
        ASSERT_EQ(intel_hex_line_is_valid(line->c()), INTEL_HEX_STRING_OK) << line->text;
        EXPECT_EQ(intel_hex_line_is_data_record(line->c()), 1);
        EXPECT_EQ(intel_hex_line_address(line->c()), 0x1234);
        EXPECT_EQ(intel_hex_line_data_length(line->c()), 4);
        uint8_t* data = new_u8_data_array_from_intel_hex_string(line->c());
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data[0], 1);
        EXPECT_EQ(data[3], 4);
        std::free(data);
    }
}

TEST(RecordValidity, AnyChangedDigitWithoutAFixedChecksumIsInvalid) {
    const std::string good = ":0412340001020304AC";
    for (std::size_t pos = 1; pos + 2 < good.size(); ++pos) {
        Line changed(good);
        changed.text[pos] = changed.text[pos] == '0' ? '1' : '0';
        EXPECT_EQ(intel_hex_line_is_valid(changed.c()), INTEL_HEX_STRING_INVALID) << changed.text;
        EXPECT_EQ(intel_hex_line_address(changed.c()), 0) << changed.text;
        EXPECT_EQ(new_u8_data_array_from_intel_hex_string(changed.c()), nullptr);
    }
}

TEST(RecordValidity, StartCodeAndTrailingCharactersMatter) {
    Line noColon("00000001FF");
    EXPECT_EQ(intel_hex_start_code_present(noColon.c()), 0);
    EXPECT_EQ(intel_hex_line_is_valid(noColon.c()), INTEL_HEX_STRING_INVALID);
    // The checksum is taken from the last two characters wherever they fall.
    Line extra(":00000001FF00");
    EXPECT_EQ(intel_hex_line_is_valid(extra.c()), INTEL_HEX_STRING_INVALID);
}

TEST(RecordValidity, LinesTooShortForTheirLengthFieldAreInvalid) {
    // Each would read its checksum or data from beyond the text if the length were trusted.
    for (const char* text : {":", ":0", ":00", ":000000", ":0000000", ":00000001F", ":1000000001FF",
                             ":04123400010203AC", ":FF000000"}) {
        Line line(text);
        EXPECT_EQ(intel_hex_line_is_valid(line.c()), INTEL_HEX_STRING_INVALID) << text;
        EXPECT_EQ(intel_hex_line_address(line.c()), 0) << text;
        EXPECT_EQ(new_u8_data_array_from_intel_hex_string(line.c()), nullptr) << text;
    }
    // Exactly long enough is fine.
    Line exact(":0100000041BE");
    EXPECT_EQ(intel_hex_line_is_valid(exact.c()), INTEL_HEX_STRING_OK);
}

TEST(RecordValidity, OnlyTheSecondTypeCharacterCounts) {
    // "14" reads as type 4; the record is otherwise well formed.
    Line odd(":020000140000EA");
    ASSERT_EQ(intel_hex_line_is_valid(odd.c()), INTEL_HEX_STRING_OK);
    EXPECT_EQ(intel_hex_line_record_type(odd.c()), INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS);
}

} // namespace
