#include "WebUploadFile.h"

#include "Console.h"
#include "Encoder.h"
#include "FileAPI.h"
#include "FlatImage.h"
#include "WorkingBuffers.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstring>

namespace {

// The Base64 text of an image near the size limit is about 600 KiB: too big for a thread's
// stack on every system, so it lives in static storage. The writer runs once per process.
unsigned char bufferBase64[FIRMWARE_BASE64_BUFFER_SIZE_FOR_WEB];

void appendText(char* text, std::size_t capacity, const char* more) {
    const std::size_t used = std::strlen(text);
    std::snprintf(text + used, capacity - used, "%s", more);
}

} // namespace

BOOL createFirmwareFileForWeb() {
    char header[100] = FIRMWARE_FILE_HEADER_FOR_WEB;
    char tempString[25];
    int dataLengthBase64 = FIRMWARE_BASE64_BUFFER_SIZE_FOR_WEB;
    unsigned char tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2];
    BOOL written = 1;

    appendText(header, sizeof header, FIRMWARE_VERSION_TO_UPLOAD "\r\n");

    if (!ValidateFwAndConcatenateData(gHexFirmware)) {
        consolePrintLine("\r\nERROR: Firmware data is not valid !\r");
        return 0;
    }
    consolePrintLine("\r\n Firmware data is valid !\r");

    computeImageCheckSum();
    const auto checkSum = static_cast<unsigned>(gDataConcatenatedCheckSum);
    std::snprintf(tempString, sizeof tempString, "%u", checkSum);
    appendText(header, sizeof header, tempString);
    appendText(header, sizeof header, "\r\n");
    consolePrint("\r\n Firmware CheckSum = %s !\r\n", tempString);
    consolePrint("\r\n Firmware CheckSum u = %u !\r\n", checkSum);

    const int32_t imageLength = gDataConcatenatedLenght;
    std::snprintf(tempString, sizeof tempString, "%d", static_cast<int>(imageLength));
    appendText(header, sizeof header, tempString);
    appendText(header, sizeof header, "\r\n");
    consolePrint("\r\n Firmware data length = %d !\r\n", static_cast<int>(imageLength));

    // The header goes out on its own first, so that a body the encoder cannot produce still
    // leaves a file that says which image it was meant to hold.
    written &= FileAPI_CreateFile(FIRMWARE_FILE_NAME_FOR_WEB, 1);
    written &= FileAPI_writeToFileBinary(header, static_cast<uint32_t>(std::strlen(header)));
    written &= FileAPI_CloseFile();

    // An empty image has no text: the encoder then leaves dataLengthBase64 as it was.
    int textLength = 0;
    if (imageLength > 0) {
        if (base64_encode(bufferBase64, &dataLengthBase64, gDataConcatenated, imageLength) == 0) {
            textLength = dataLengthBase64;
        } else {
            consolePrintLine("\r\n ERROR BASE 64 !\r");
            written = 0;
        }
    }

    if (textLength > 0) {
        // The web page expects no padding: each "=" becomes "A", a zero group of six bits.
        for (int position = textLength - 1; position >= 0 && position >= textLength - 4; --position) {
            if (bufferBase64[position] == '=') {
                bufferBase64[position] = 'A';
            }
        }

        written &= FileAPI_OpenFile_ToWrite(FIRMWARE_FILE_NAME_FOR_WEB, 1);
        int remainingByte = textLength;
        int currentIndex = 0;
        while (remainingByte > FIRMWARE_CHUNCK_SIZE_FOR_WEB) {
            std::memcpy(tempBufferBase64, bufferBase64 + currentIndex, FIRMWARE_CHUNCK_SIZE_FOR_WEB);
            tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB] = '\r';
            tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 1] = '\n';
            written &= FileAPI_writeToFileBinary(tempBufferBase64, sizeof tempBufferBase64);
            currentIndex += FIRMWARE_CHUNCK_SIZE_FOR_WEB;
            remainingByte -= FIRMWARE_CHUNCK_SIZE_FOR_WEB;
        }
        if (remainingByte > 0) {
            written &= FileAPI_writeToFileBinary(bufferBase64 + currentIndex, static_cast<uint32_t>(remainingByte));
        }
        written &= FileAPI_CloseFile();
    }

    consolePrint("\r\nPress any key to exit");
    Platform_GetKey();
    return written;
}
