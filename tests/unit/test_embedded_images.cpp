// The embedded stand-in firmware: the documented shape of each text, and its flat image checked
// against an independent reading of the same text.
#include "FlatImage.h"
#include "WorkingBuffers.h"
#include "firmware/BinImage.h"

#include "VirtualConsole.h"
#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Expected {
    int index;
    const char* name;
    int32_t textLength;
    std::size_t records;
    uint32_t lastRecordOffset;
    unsigned lastRecordLength;
};

const Expected kImages[] = {
    {0, "M627184_MCU_61_V1_03.hex", 255869, 5689, 0x1E438, 16},
    {1, "M627184_TX_XC7A15_V1_03.mcs", 2983778, 66318, 1060784, 4},
    {2, "M627184_RX_XC7A15_V1_03.mcs", 3179741, 70673, 1130448, 12},
};

TEST(EmbeddedImages, TableEntriesMatchTheirArrays) {
    EXPECT_EQ(sizeof M627184_MCU_61_V1_03_hex - 1, static_cast<std::size_t>(AUTOGEN_FILES[0].fileDataLength));
    EXPECT_EQ(sizeof M627184_TX_XC7A15_V1_03_mcs - 1, static_cast<std::size_t>(AUTOGEN_FILES[1].fileDataLength));
    EXPECT_EQ(sizeof M627184_RX_XC7A15_V1_03_mcs - 1, static_cast<std::size_t>(AUTOGEN_FILES[2].fileDataLength));
    EXPECT_EQ(AUTOGEN_FILES[0].fileData, M627184_MCU_61_V1_03_hex);
    EXPECT_EQ(AUTOGEN_FILES[1].fileData, M627184_TX_XC7A15_V1_03_mcs);
    EXPECT_EQ(AUTOGEN_FILES[2].fileData, M627184_RX_XC7A15_V1_03_mcs);
    for (const Expected& e : kImages) {
        const autogen_files& entry = AUTOGEN_FILES[e.index];
        EXPECT_STREQ(entry.filePath, e.name);
        EXPECT_EQ(static_cast<std::size_t>(entry.filePathLength), std::strlen(e.name));
        EXPECT_EQ(entry.fileDataLength, e.textLength) << e.name;
        EXPECT_EQ(std::strlen(entry.fileData), static_cast<std::size_t>(entry.fileDataLength)) << "zero byte in " << e.name;
    }
}

TEST(EmbeddedImages, EmbeddedTextsAreTheGeneratedFilesByteForByte) {
    for (const Expected& e : kImages) {
        std::ifstream file(std::string(FWUPGRADE_FIRMWARE_SOURCE_DIR) + "/" + e.name, std::ios::binary);
        ASSERT_TRUE(file) << e.name;
        std::stringstream content;
        content << file.rdbuf();
        EXPECT_EQ(content.str(), std::string(AUTOGEN_FILES[e.index].fileData,
                                             static_cast<std::size_t>(AUTOGEN_FILES[e.index].fileDataLength)));
    }
}

TEST(EmbeddedImages, TextsHaveTheDocumentedShape) {
    for (const Expected& e : kImages) {
        SCOPED_TRACE(e.name);
        const std::string text(AUTOGEN_FILES[e.index].fileData, static_cast<std::size_t>(AUTOGEN_FILES[e.index].fileDataLength));
        std::string problem;
        const auto records = reference_hex::parse(text, problem);
        ASSERT_EQ(problem, "");
        ASSERT_EQ(records.size(), e.records);
        EXPECT_EQ(records.front().type, 4u) << "first record is an extended linear address";
        EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");

        std::vector<unsigned> uppers;
        std::size_t startAddressRecords = 0;
        uint32_t upper = 0, lastEnd = 0, lastOffset = 0;
        unsigned lastLength = 0;
        for (const reference_hex::Record& r : records) {
            if (r.type == 4) {
                uppers.push_back(r.data[0] * 256u + r.data[1]);
                upper = r.data[1] * 65536u;
            } else if (r.type == 5) {
                ++startAddressRecords;
            } else if (r.type == 0) {
                const uint32_t offset = upper + r.address;
                EXPECT_LE(r.length, 16u);
                EXPECT_GE(offset, lastEnd) << "data records ascend";
                lastEnd = offset + r.length;
                lastOffset = offset;
                lastLength = r.length;
            }
        }
        EXPECT_EQ(lastOffset, e.lastRecordOffset);
        EXPECT_EQ(lastLength, e.lastRecordLength);
        if (e.index == 0) {
            EXPECT_EQ(uppers, (std::vector<unsigned>{0x8000, 0x8001}));
            EXPECT_EQ(startAddressRecords, 1u);
        } else {
            ASSERT_FALSE(uppers.empty());
            for (std::size_t i = 0; i < uppers.size(); ++i) {
                EXPECT_EQ(uppers[i], i) << "one upper address per 64 KiB from 0";
            }
            EXPECT_EQ(startAddressRecords, 0u);
        }
    }
}

TEST(EmbeddedImages, FlatImageAndChecksumAgreeWithAnIndependentReading) {
    virtual_console::reset();
    ASSERT_EQ(WorkingBuffers_Setup(), 1);
    for (const Expected& e : kImages) {
        SCOPED_TRACE(e.name);
        const std::string text(AUTOGEN_FILES[e.index].fileData, static_cast<std::size_t>(AUTOGEN_FILES[e.index].fileDataLength));
        std::string problem;
        const auto records = reference_hex::parse(text, problem);
        ASSERT_EQ(problem, "");
        const reference_hex::Image expected = reference_hex::flatten(records);

        char* copy = WorkingBuffers_CopyImageText(e.index);
        ASSERT_NE(copy, nullptr);
        ASSERT_EQ(ValidateFwAndConcatenateData(copy), 1);
        std::free(copy);
        computeImageCheckSum();
        EXPECT_EQ(static_cast<uint32_t>(gDataConcatenatedLenght), e.lastRecordOffset + e.lastRecordLength);
        EXPECT_EQ(static_cast<uint32_t>(gDataConcatenatedLenght), expected.length);
        EXPECT_EQ(gDataConcatenatedCheckSum, expected.checksum);
        EXPECT_EQ(std::memcmp(gDataConcatenated, expected.bytes.data(), CONCAT_BUFFER_SIZE), 0);
        if (e.index == 0) {
            for (int i = 0; i < 0x8000; ++i) {
                ASSERT_EQ(gDataConcatenated[i], 0xFF) << "the microcontroller image starts at 0x8000";
            }
        }
        std::printf("%s: image length %d, checksum %u\n", e.name, gDataConcatenatedLenght, gDataConcatenatedCheckSum);
    }
    EXPECT_TRUE(virtual_console::output().empty());
    WorkingBuffers_Release();
}

TEST(WorkingBuffersSetup, BuffersHaveTheirSizesAndFill) {
    ASSERT_EQ(WorkingBuffers_Setup(), 1);
    const std::size_t textLength = static_cast<std::size_t>(AUTOGEN_FILES[0].fileDataLength);
    EXPECT_EQ(std::memcmp(gHexFirmware, AUTOGEN_FILES[0].fileData, textLength), 0);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(gHexFirmware[textLength + i], '\0');
    }
    EXPECT_EQ(gDataConcatenated[0], 0xFF);
    EXPECT_EQ(gDataConcatenated[CONCAT_BUFFER_SIZE - 1], 0xFF);
    for (int i = 0; i < CONCAT_BUFFER_GUARD; ++i) {
        EXPECT_EQ(gDataConcatenated[CONCAT_BUFFER_SIZE + i], 0);
    }
    EXPECT_EQ(gDataBuffer[0], 0);
    EXPECT_EQ(gDataBuffer[DATA_BUFFER_SIZE - 1], 0);
    EXPECT_EQ(gHexFPGA_Code, nullptr);
    WorkingBuffers_Release();
    EXPECT_EQ(gDataBuffer, nullptr);
    EXPECT_EQ(gDataConcatenated, nullptr);
    EXPECT_EQ(gHexFirmware, nullptr);
    EXPECT_EQ(WorkingBuffers_CopyImageText(3), nullptr);
    EXPECT_EQ(WorkingBuffers_CopyImageText(-1), nullptr);
}

} // namespace
