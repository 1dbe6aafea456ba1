// Flattening hex texts into the 4 MiB image, its length and its checksum.
#include "FlatImage.h"
#include "WorkingBuffers.h"

#include "VirtualConsole.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Builds one record line (without line end) from its fields, with a correct checksum.
std::string record(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF, type);
    std::string line = head;
    for (uint8_t b : data) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
        sum += b;
    }
    char check[3];
    std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + check;
}

std::vector<uint8_t> bytesFrom(uint8_t first, std::size_t count) {
    std::vector<uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

std::string ela(unsigned upper) { return record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}); }
const std::string kEof = ":00000001FF";

class FlatImage : public ::testing::Test {
  protected:
    void SetUp() override {
        virtual_console::reset();
        ASSERT_EQ(WorkingBuffers_Setup(), 1);
    }
    void TearDown() override { WorkingBuffers_Release(); }

    BOOL flatten(const std::string& text) {
        copy_.assign(text.begin(), text.end());
        copy_.resize(text.size() + 16, '\0');
        return ValidateFwAndConcatenateData(copy_.data());
    }
    static bool allFF(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (gDataConcatenated[i] != 0xFF) {
                return false;
            }
        }
        return true;
    }
    std::vector<char> copy_;
};

TEST_F(FlatImage, ImageLengthReachesPastTheLastDataByte) {
    ASSERT_EQ(flatten(record(0, 0, bytesFrom(1, 16)) + "\r\n" + kEof + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 16);
    computeImageCheckSum();
    EXPECT_EQ(gDataConcatenatedCheckSum, 0u - (16u * 17u / 2u)); // 1 + 2 + ... + 16

    ASSERT_EQ(flatten(record(0, 0, bytesFrom(0, 16)) + "\r\n" + record(0, 0x10, bytesFrom(16, 16)) + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 32);
    computeImageCheckSum();
    EXPECT_EQ(gDataConcatenatedCheckSum, 0u - (31u * 32u / 2u));

    // Records out of order: the length is set by the highest byte, not by the last record.
    ASSERT_EQ(flatten(record(0, 0x20, bytesFrom(0, 4)) + "\r\n" + record(0, 0, bytesFrom(0, 4)) + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 0x24);
}

TEST_F(FlatImage, UncoveredBytesStayFFAndCountInTheChecksum) {
    ASSERT_EQ(flatten(record(0, 0x100, {0x00, 0x01}) + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 0x102);
    EXPECT_TRUE(allFF(0, 0x100));
    EXPECT_EQ(gDataConcatenated[0x100], 0x00);
    EXPECT_EQ(gDataConcatenated[0x101], 0x01);
    EXPECT_TRUE(allFF(0x102, CONCAT_BUFFER_SIZE));
    computeImageCheckSum();
    EXPECT_EQ(gDataConcatenatedCheckSum, 0u - (0x100u * 0xFFu + 1u));
    // The 16 bytes after the image are never written.
    for (int i = 0; i < CONCAT_BUFFER_GUARD; ++i) {
        EXPECT_EQ(gDataConcatenated[CONCAT_BUFFER_SIZE + i], 0);
    }
}

TEST_F(FlatImage, EachFlatteningStartsFromAFreshImage) {
    ASSERT_EQ(flatten(record(0, 0x40, bytesFrom(7, 16)) + "\r\n"), 1);
    ASSERT_EQ(flatten(kEof + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 0);
    EXPECT_TRUE(allFF(0, CONCAT_BUFFER_SIZE));
}

TEST_F(FlatImage, ExtendedLinearAddressUsesOnlyTheLowByteOfTheUpperAddress) {
    ASSERT_EQ(flatten(ela(0x8001) + "\r\n" + record(0, 0, {0xAA}) + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenated[0x10000], 0xAA);
    EXPECT_EQ(gDataConcatenatedLenght, 0x10001);
    EXPECT_TRUE(allFF(0, 0x10000));

    ASSERT_EQ(flatten(ela(0x8000) + "\r\n" + record(0, 0x8000, {0x55}) + "\r\n" + ela(0x0002) + "\r\n" +
                      record(0, 0x0010, {0x66}) + "\r\n"),
              1);
    EXPECT_EQ(gDataConcatenated[0x8000], 0x55);
    EXPECT_EQ(gDataConcatenated[0x20010], 0x66);
}

TEST_F(FlatImage, OtherRecordTypesChangeNothingAndTheWalkGoesOnAfterEndOfFile) {
    const std::string text = record(5, 0, {0x80, 0x00, 0x81, 0xC1}) + "\r\n" + record(0, 0, {1, 2}) + "\r\n" + kEof +
                             "\r\n" + record(0, 0x10, {3}) + "\r\n" + record(3, 0, {0, 0, 0, 0}) + "\r\n" +
                             record(2, 0, {0x10, 0x00}) + "\r\n";
    ASSERT_EQ(flatten(text), 1);
    EXPECT_EQ(gDataConcatenated[0], 1);
    EXPECT_EQ(gDataConcatenated[1], 2);
    EXPECT_EQ(gDataConcatenated[0x10], 3);
    EXPECT_EQ(gDataConcatenatedLenght, 0x11);
    EXPECT_TRUE(allFF(2, 0x10));
}

TEST_F(FlatImage, RecordsAreFoundByTheirStartCodeAlone) {
    const std::string a = record(0, 0, bytesFrom(0x10, 16));
    const std::string b = record(0, 0x10, bytesFrom(0x30, 16));
    ASSERT_EQ(flatten(a + "\r\n" + b + "\r\n" + kEof + "\r\n"), 1);
    std::vector<uint8_t> separated(gDataConcatenated, gDataConcatenated + 64);
    const int32_t separatedLength = gDataConcatenatedLenght;

    ASSERT_EQ(flatten(a + b + kEof), 1);
    EXPECT_EQ(std::vector<uint8_t>(gDataConcatenated, gDataConcatenated + 64), separated);
    EXPECT_EQ(gDataConcatenatedLenght, separatedLength);

    // Anything after a record's line end, up to the next start code, is ignored.
    ASSERT_EQ(flatten(a + "\r\ncomment\n" + b + "\nx"), 1);
    EXPECT_EQ(std::vector<uint8_t>(gDataConcatenated, gDataConcatenated + 64), separated);
}

TEST_F(FlatImage, ZeroLengthDataRecordSetsTheLengthToItsAddress) {
    ASSERT_EQ(flatten(record(0, 0x1234, {}) + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 0x1234);
    EXPECT_TRUE(allFF(0, CONCAT_BUFFER_SIZE));
}

TEST_F(FlatImage, EndOfFileAloneGivesAnEmptyImage) {
    ASSERT_EQ(flatten(kEof), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 0);
    computeImageCheckSum();
    EXPECT_EQ(gDataConcatenatedCheckSum, 0u);
    EXPECT_TRUE(virtual_console::output().empty());
}

TEST_F(FlatImage, SecondFlatteningOfTheSameCopySeesOnlyItsFirstRecord) {
    const std::string text = ela(0) + "\r\n" + record(0, 0, bytesFrom(0, 16)) + "\r\n" + kEof + "\r\n";
    copy_.assign(text.begin(), text.end());
    copy_.resize(text.size() + 16, '\0');
    ASSERT_EQ(ValidateFwAndConcatenateData(copy_.data()), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 16);
    ASSERT_EQ(ValidateFwAndConcatenateData(copy_.data()), 1);
    EXPECT_EQ(gDataConcatenatedLenght, 0);
}

struct Rejection {
    const char* name;
    std::string text;
    std::string printedLine; // the record line the error shows
};

TEST_F(FlatImage, InvalidRecordsStopTheFlatteningAndShowTheirLine) {
    std::string badChecksum = record(0, 0x10, {1, 2, 3});
    badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
    const std::string overLong = record(0, 0, bytesFrom(0, 16)) + "\r\n" + std::string(60, ' ');
    const std::vector<Rejection> cases = {
        {"wrong checksum", record(0, 0, {9}) + "\r\n" + badChecksum + "\r\n", badChecksum},
        {"text before the first record", "junk\r\n" + kEof, ":junk"},
        {"start code before a line break", ":\r\n" + kEof, ":"},
        {"stray start code inside a record", ":1000:00000001FF", ":1000"},
        {"piece too long for the line buffer", overLong + kEof, record(0, 0, bytesFrom(0, 16))},
        {"extended linear address without a second byte", record(4, 0, {0x01}) + "\r\n", record(4, 0, {0x01})},
        {"extended linear address without data", record(4, 0, {}) + "\r\n", record(4, 0, {})},
        {"data at the end of the image", ela(0x0040) + "\r\n" + record(0, 0, {1}) + "\r\n", record(0, 0, {1})},
        {"data across the end of the image", ela(0x003F) + "\r\n" + record(0, 0xFFF8, bytesFrom(0, 16)) + "\r\n",
         record(0, 0xFFF8, bytesFrom(0, 16))},
        {"empty record beyond the end of the image", ela(0x0041) + "\r\n" + record(0, 0, {}) + "\r\n",
         record(0, 0, {})},
    };
    for (const Rejection& c : cases) {
        virtual_console::reset();
        EXPECT_EQ(flatten(c.text), 0) << c.name;
        EXPECT_EQ(virtual_console::output(), "\r\n intel_hex_line_is_valid \r\n" + c.printedLine + "\r\n")
            << c.name;
    }
}

TEST_F(FlatImage, DataEndingExactlyAtTheEndOfTheImageIsAccepted) {
    ASSERT_EQ(flatten(ela(0x003F) + "\r\n" + record(0, 0xFFF0, bytesFrom(0, 16)) + "\r\n"), 1);
    EXPECT_EQ(gDataConcatenatedLenght, CONCAT_BUFFER_SIZE);
    EXPECT_EQ(gDataConcatenated[CONCAT_BUFFER_SIZE - 1], 15);
}

TEST_F(FlatImage, AfterAFailureTheImageHoldsTheRecordsBeforeIt) {
    std::string bad = record(0, 0x20, {1});
    bad[bad.size() - 1] ^= 1;
    ASSERT_EQ(flatten(record(0, 0, {0x42, 0x43}) + "\r\n" + bad + "\r\n" + record(0, 0x40, {7}) + "\r\n"), 0);
    EXPECT_EQ(gDataConcatenated[0], 0x42);
    EXPECT_EQ(gDataConcatenatedLenght, 2);
    EXPECT_EQ(gDataConcatenated[0x40], 0xFF);
}

} // namespace
