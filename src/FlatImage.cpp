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
        // The piece runs up to the next ':' and still carries its line end. The record line is
        // ':' and the piece cut at its first CR or LF; the whole piece, line end and whatever
        // follows it included, must fit the line buffer. One pass finds both lengths.
        const std::size_t recordLength = std::strcspn(*piece, "\r\n");
        // After the record come its line end and rarely anything else: counted here, up to the
        // limit, without a library call for two characters.
        const char* rest = *piece + recordLength;
        std::size_t restLength = 0;
        while (rest[restLength] != '\0' && restLength <= kLongestLine) {
            ++restLength;
        }
        const std::size_t pieceLength = recordLength + restLength;
        if (pieceLength + 1 > kLongestLine) {
            reportInvalidPiece(*piece);
            result = 0;
            break;
        }
        intelHexStringLine[0] = ':';
        std::memcpy(intelHexStringLine + 1, *piece, recordLength);
        intelHexStringLine[recordLength + 1] = '\0';

        // Checked and read in one pass: length, address, type and data bytes.
        uint8_t recordBytes[INTEL_HEX_MAX_RECORD_BYTES];
        if (!intel_hex_line_decode_valid(intelHexStringLine, recordLength + 1, recordBytes)) {
            reportInvalidRecord(intelHexStringLine);
            result = 0;
            break;
        }
        const unsigned dataLength = recordBytes[0];
        const uint8_t* data = recordBytes + 4;
        // Only the second character of the type field counts, as for intel_hex_line_record_type.
        const int recordType = intelHexStringLine[8] - '0';

        if (recordType == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS) {
            // Only the low byte of the upper address counts: 0x8001 lands at 0x010000. A record
            // without both bytes is not an address.
            if (dataLength < 2) {
                reportInvalidRecord(intelHexStringLine);
                result = 0;
                break;
            }
            memory_offset = static_cast<uint32_t>(data[1]) * 65536u;
        } else if (recordType == INTEL_HEX_RECORD_DATA) {
            const uint32_t address = memory_offset + recordBytes[1] * 256u + recordBytes[2];
            if (static_cast<uint64_t>(address) + dataLength > CONCAT_BUFFER_SIZE) {
                reportInvalidRecord(intelHexStringLine);
                result = 0;
                break;
            }
            std::memcpy(gDataConcatenated + address, data, dataLength);
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
    // Four partial sums let the additions of neighbouring bytes overlap. Unsigned sums wrap
    // modulo 2^32 alike, so their total is the plain byte sum.
    const auto length = static_cast<std::size_t>(gDataConcatenatedLenght > 0 ? gDataConcatenatedLenght : 0);
    const uint8_t* bytes = gDataConcatenated;
    uint32_t sums[4] = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        sums[0] += bytes[i];
        sums[1] += bytes[i + 1];
        sums[2] += bytes[i + 2];
        sums[3] += bytes[i + 3];
    }
    for (; i < length; ++i) {
        sums[0] += bytes[i];
    }
    gDataConcatenatedCheckSum = 0u - (sums[0] + sums[1] + sums[2] + sums[3]);
}
