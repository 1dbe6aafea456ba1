#include "WorkingBuffers.h"

#include "Console.h"
#include "firmware/BinImage.h"

#include <cstdlib>
#include <cstring>

char* gDataBuffer = nullptr;
uint8_t* gDataConcatenated = nullptr;
int32_t gDataConcatenatedLenght = 0;
uint32_t gDataConcatenatedCheckSum = 0;
char* gHexFirmware = nullptr;
char* gHexFPGA_Code = nullptr;
int32_t gComPortNumber = 0;
int32_t gBaudRate = 0;

namespace {
constexpr std::size_t kHexCopyPadding = 16;
}

char* WorkingBuffers_CopyImageText(int index) {
    if (index < 0 || index >= static_cast<int>(sizeof AUTOGEN_FILES / sizeof AUTOGEN_FILES[0])) {
        return nullptr;
    }
    const autogen_files& entry = AUTOGEN_FILES[index];
    const auto length = static_cast<std::size_t>(entry.fileDataLength);
    auto* copy = static_cast<char*>(std::calloc(length + kHexCopyPadding, 1));
    if (copy != nullptr) {
        std::memcpy(copy, entry.fileData, length);
    }
    return copy;
}

BOOL WorkingBuffers_Setup() {
    gHexFirmware = WorkingBuffers_CopyImageText(IMAGE_INDEX_MCU);
    if (gHexFirmware == nullptr) {
        consolePrintLine("\r\nERROR: Not enough memory for the firmware text !\r");
        return 0;
    }
    gDataConcatenated = static_cast<uint8_t*>(std::calloc(CONCAT_BUFFER_SIZE + CONCAT_BUFFER_GUARD, 1));
    if (gDataConcatenated == nullptr) {
        consolePrintLine("\r\nERROR: Not enough memory for the firmware image !\r");
        WorkingBuffers_Release();
        return 0;
    }
    std::memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
    gDataBuffer = static_cast<char*>(std::calloc(DATA_BUFFER_SIZE, 1));
    if (gDataBuffer == nullptr) {
        consolePrintLine("\r\nERROR: Not enough memory for the data buffer !\r");
        WorkingBuffers_Release();
        return 0;
    }
    return 1;
}

void WorkingBuffers_Release() {
    std::free(gDataBuffer);
    gDataBuffer = nullptr;
    std::free(gDataConcatenated);
    gDataConcatenated = nullptr;
    std::free(gHexFirmware);
    gHexFirmware = nullptr;
    std::free(gHexFPGA_Code);
    gHexFPGA_Code = nullptr;
}
