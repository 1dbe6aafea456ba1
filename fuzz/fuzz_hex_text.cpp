// A hex text as the tool reads the images it carries: the whole text flattened into the image and
// summed, and its first line through both record readers. Both work on copies of exactly the text
// and its terminator, so a read past the terminator is an overrun. Input: a byte (odd: first give
// each record the checksum its pairs call for), then the text.
//
// Checked for every text, besides the sanitizers: the one-pass reader (the flattening's) and the
// plain reader agree on whether the line is a valid record and on its data bytes; a valid line is
// long enough for the data length it gives; the image stays inside its buffer (the guard bytes
// after it stay zero) and nothing past its length is written; the checksum is 0 minus the byte sum
// of the image; a refused text is told on the console, an accepted one says nothing.
#include "FlatImage.h"
#include "IntelHex.h"
#include "StringOperations.h"
#include "WorkingBuffers.h"

#include "VirtualConsole.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

// The shortest record line: ':', then two digits each for the length, the type and the checksum and
// four for the address.
constexpr std::size_t kShortestRecord = 11;

// The record reader the flattening uses against the plain one, on one line.
void checkRecordLine(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    std::vector<uint8_t> bytes(INTEL_HEX_MAX_RECORD_BYTES); // exactly the documented room
    const bool valid =
        intel_hex_line_decode_valid(copy.data(), text.size(), bytes.data()) == INTEL_HEX_STRING_OK;
    uint8_t* data = new_u8_data_array_from_intel_hex_string(copy.data());
    const unsigned dataLength = bytes[0];
    assert((data != nullptr) == valid);
    assert(!valid || (text[0] == ':' && text.size() >= kShortestRecord + 2 * dataLength &&
                      std::memcmp(data, bytes.data() + 4, dataLength) == 0));
    std::free(data);
}

// Gives each record the checksum of the pairs before its last two characters, so that mutations
// get past the record check and reach the addresses and bounds of the flattening.
void fixChecksums(std::string& text) {
    for (std::size_t at = text.find(':'); at != std::string::npos; at = text.find(':', at + 1)) {
        const std::size_t end = std::min(text.find_first_of("\r\n:", at + 1), text.size());
        if (end - at >= kShortestRecord) {
            unsigned sum = 0;
            for (std::size_t i = at + 1; i + 2 < end; i += 2) {
                sum += u8_from_hex_string(&text[i]);
            }
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", (0x100 - sum % 256) % 256);
            text.replace(end - 2, 2, digits);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    assert(ready);
    if (size < 1) {
        return 0;
    }
    const auto* chars = reinterpret_cast<const char*>(data) + 1;
    std::string text(chars, strnlen(chars, size - 1));
    if (data[0] % 2 == 1) { // else the text as it is
        fixChecksums(text);
    }
    checkRecordLine(text.substr(0, text.find_first_of("\r\n"))); // the first line

    virtual_console::reset();
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    const BOOL ok = ValidateFwAndConcatenateData(copy.data());
    const int32_t length = gDataConcatenatedLenght;
    assert(virtual_console::output().empty() == (ok == 1)); // a refusal is told, an acceptance silent
    // The image stays inside its buffer: filled with 0xFF first, it keeps that past its length, and
    // the guard bytes after it stay zero.
    const uint8_t* image = gDataConcatenated;
    static const std::vector<uint8_t> kFill(CONCAT_BUFFER_SIZE, 0xFF);
    static const std::vector<uint8_t> kGuard(CONCAT_BUFFER_GUARD, 0);
    assert(length >= 0 && length <= CONCAT_BUFFER_SIZE &&
           std::memcmp(image + length, kFill.data(), CONCAT_BUFFER_SIZE - length) == 0 &&
           std::memcmp(image + CONCAT_BUFFER_SIZE, kGuard.data(), CONCAT_BUFFER_GUARD) == 0);
    computeImageCheckSum();
    assert(gDataConcatenatedCheckSum == 0u - std::accumulate(image, image + length, 0u));
    return 0;
}
