#include "FlatImage.h"

#include "Console.h"
#include "IntelHex.h"
#include "StringOperations.h"
#include "WorkingBuffers.h"

#include <cstdlib>
#include <cstring>

namespace {

// One record line: ':' + piece + terminator must fit.
constexpr std::size_t kLineBufferSize = 100;
constexpr std::size_t kLongestLine = kLineBufferSize - 1;

void reportInvalidRecord(const char* line) {
    consolePrintLine("\r\n intel_hex_line_is_valid \r");
    consoleWrite(line, std::strlen(line));
    consolePrintLine("\r");
}

// Prints an over-long piece the same way, cut at its first line break.
void reportInvalidPiece(const char* piece) {
    consolePrintLine("\r\n intel_hex_line_is_valid \r");
    consoleWrite(":", 1);
    consoleWrite(piece, std::strcspn(piece, "\r\n"));
    consolePrintLine("\r");
}

} // namespace

BOOL ValidateFwAndConcatenateData(char* gHexData) {
    std::memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
    gDataConcatenatedLenght = 0;
    uint32_t memory_offset = 0;

    char** extractedHexLine = str_split(gHexData, ":");
    if (extractedHexLine == nullptr) {
        consolePrintLine("\r\nNUL extractedHexLine \r");
        return 0;
    }

    char intelHexStringLine[kLineBufferSize];
    BOOL result = 1;
    for (char** piece = extractedHexLine; *piece != nullptr; ++piece) {
        // The piece runs up to the next ':' and still carries its line end.
        const std::size_t pieceLength = std::strlen(*piece);
        if (pieceLength + 1 > kLongestLine) {
            reportInvalidPiece(*piece);
            result = 0;
            break;
        }
        intelHexStringLine[0] = ':';
        std::memcpy(intelHexStringLine + 1, *piece, pieceLength + 1);
        StrRemoveNL(intelHexStringLine, 0);

        if (!intel_hex_line_is_valid(intelHexStringLine)) {
            reportInvalidRecord(intelHexStringLine);
            result = 0;
            break;
        }
        // The line is valid from here on: it reaches its checksum, so every field can be read directly.
        const unsigned dataLength = intel_hex_line_data_length(intelHexStringLine);
        const int recordType = intelHexStringLine[8] - '0';

        if (recordType == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS) {
            // Only the low byte of the upper address counts: 0x8001 lands at 0x010000.
            uint8_t* data = dataLength >= 2 ? new_u8_data_array_from_intel_hex_string(intelHexStringLine) : nullptr;
            if (data == nullptr) {
                reportInvalidRecord(intelHexStringLine);
                result = 0;
                break;
            }
            memory_offset = static_cast<uint32_t>(data[1]) * 65536u;
            std::free(data);
        } else if (recordType == INTEL_HEX_RECORD_DATA) {
            const uint32_t address = memory_offset + u8_from_hex_string(intelHexStringLine + 3) * 256u +
                                     u8_from_hex_string(intelHexStringLine + 5);
            if (static_cast<uint64_t>(address) + dataLength > CONCAT_BUFFER_SIZE) {
                reportInvalidRecord(intelHexStringLine);
                result = 0;
                break;
            }
            // The line is valid, so its data bytes are all present after position 9.
            for (unsigned i = 0; i < dataLength; ++i) {
                gDataConcatenated[address + i] = u8_from_hex_string(intelHexStringLine + 9 + 2 * i);
            }
            const auto end = static_cast<int32_t>(address + dataLength);
            if (end > gDataConcatenatedLenght) {
                gDataConcatenatedLenght = end;
            }
        }
        // End-of-file, start-address and segment records change nothing; the walk goes on.
    }
    std::free(extractedHexLine);
    return result;
}

void computeImageCheckSum() {
    uint32_t sum = 0;
    const int32_t length = gDataConcatenatedLenght;
    for (int32_t i = 0; i < length; ++i) {
        sum += gDataConcatenated[i];
    }
    gDataConcatenatedCheckSum = 0u - sum;
}
