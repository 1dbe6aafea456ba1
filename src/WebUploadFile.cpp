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
    // leaves a file that says which image it was meant to hold. A file that did not open has
    // been reported already; writing to it or closing it would only repeat that.
    if (FileAPI_CreateFile(FIRMWARE_FILE_NAME_FOR_WEB, 1)) {
        written &= FileAPI_writeToFileBinary(header, static_cast<uint32_t>(std::strlen(header)));
        written &= FileAPI_CloseFile();
    } else {
        written = 0;
    }

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

    // The web page expects no padding: each "=" among the last four characters becomes "A", a
    // group of six zero bits, so the body decodes to the image plus one or two zero bytes.
    for (int position = textLength - 1; position >= 0 && position >= textLength - 4; --position) {
        if (bufferBase64[position] == '=') {
            bufferBase64[position] = 'A';
        }
    }

    // A body goes only after a complete header, and only from an encoding that took place.
    if (written && textLength > 0 && FileAPI_OpenFile_ToWrite(FIRMWARE_FILE_NAME_FOR_WEB, 1)) {
        // Lines of 928 characters, each with its CR LF in one write; the last line, 1 to 928
        // characters, has none. After a failed write the rest would fail alike: stop there.
        BOOL lineWritten = 1;
        int remainingByte = textLength;
        int currentIndex = 0;
        while (lineWritten && remainingByte > FIRMWARE_CHUNCK_SIZE_FOR_WEB) {
            std::memcpy(tempBufferBase64, bufferBase64 + currentIndex, FIRMWARE_CHUNCK_SIZE_FOR_WEB);
            tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB] = '\r';
            tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 1] = '\n';
            lineWritten = FileAPI_writeToFileBinary(tempBufferBase64, sizeof tempBufferBase64);
            currentIndex += FIRMWARE_CHUNCK_SIZE_FOR_WEB;
            remainingByte -= FIRMWARE_CHUNCK_SIZE_FOR_WEB;
        }
        if (lineWritten && remainingByte > 0) {
            lineWritten =
                FileAPI_writeToFileBinary(bufferBase64 + currentIndex, static_cast<uint32_t>(remainingByte));
        }
        written &= lineWritten;
        written &= FileAPI_CloseFile();
    } else if (textLength > 0) {
        written = 0;
    }

    consolePrint("\r\nPress any key to exit");
    Platform_GetKey();
    return written;
}
