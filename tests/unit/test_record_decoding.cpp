// The one-pass reading of a record line that the flattening uses: the same verdict as the
// validity test, and the bytes before the checksum read once.
#include "IntelHex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> decode(std::string line, uint8_t* verdict) {
    std::vector<uint8_t> bytes(INTEL_HEX_MAX_RECORD_BYTES, 0xEE);
    *verdict = intel_hex_line_decode_valid(&line[0], line.size(), bytes.data());
    EXPECT_EQ(*verdict, intel_hex_line_is_valid(&line[0])) << line;
    return bytes;
}

TEST(RecordDecoding, ValidLinesGiveLengthAddressTypeAndDataInOrder) {
    uint8_t verdict = 0;
    auto bytes = decode(":0300300002337A1E", &verdict);
    EXPECT_EQ(verdict, INTEL_HEX_STRING_OK);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 7), (std::vector<uint8_t>{3, 0x00, 0x30, 0, 0x02, 0x33, 0x7A}));
    EXPECT_EQ(bytes[7], 0xEE) << "nothing written after the data";

    bytes = decode(":0200000480007a", &verdict);   // lower case, extended linear address
    EXPECT_EQ(verdict, INTEL_HEX_STRING_OK);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 6), (std::vector<uint8_t>{2, 0, 0, 4, 0x80, 0x00}));
}

TEST(RecordDecoding, InvalidLinesAreRefusedAsByTheValidityTest) {
    uint8_t verdict = 1;
    for (const std::string line : {":0300300002337A1F", ":03003000", "0300300002337A1E", ":FF00000000", ""}) {
        decode(line, &verdict);
        EXPECT_EQ(verdict, INTEL_HEX_STRING_INVALID) << line;
    }
}

TEST(RecordDecoding, ChecksumCountWrapsAtEightBitsForTheLongestRecords) {
    // L = 252: the checksum covers (252 + 4) mod 256 = 0 bytes, so it must read 00, while all
    // 252 data bytes are still read.
    const std::string line = ":FC000000" + std::string(2 * 252, 'A') + "00";
    uint8_t verdict = 0;
    const auto bytes = decode(line, &verdict);
    EXPECT_EQ(verdict, INTEL_HEX_STRING_OK);
    EXPECT_EQ(bytes[0], 0xFC);
    EXPECT_EQ(bytes[4], 0xAA);
    EXPECT_EQ(bytes[4 + 251], 0xAA);
    decode(":FC000000" + std::string(2 * 252, 'A') + "01", &verdict);
    EXPECT_EQ(verdict, INTEL_HEX_STRING_INVALID);
}

} // namespace
