// A hex text as the tool reads the images it carries: the whole text flattened into the image and
// summed, and its first line through both record readers. Each works on a copy of exactly the text
// and its terminator, so a read past the terminator is an overrun. Input: the text (up to a zero
// byte, if any).
//
// Checked for every text, besides the sanitizers: the one-pass reader (the flattening's) and the
// plain reader agree on whether the line is a valid record; the image stays inside its buffer
// (filled with 0xFF first, it keeps that past its length, and the guard bytes after it stay zero);
// the checksum is 0 minus the byte sum of the image.
#include "FlatImage.h"
#include "IntelHex.h"
#include "WorkingBuffers.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    assert(ready);
    // The input up to its first zero byte.
    const std::string text = std::string(reinterpret_cast<const char*>(data), size).c_str();

    const std::string first = text.substr(0, text.find_first_of("\r\n"));
    std::vector<char> line(first.c_str(), first.c_str() + first.size() + 1);
    std::vector<uint8_t> bytes(INTEL_HEX_MAX_RECORD_BYTES); // exactly the documented room
    const bool valid = intel_hex_line_decode_valid(line.data(), line.size() - 1, bytes.data()) != 0;
    uint8_t* record = new_u8_data_array_from_intel_hex_string(line.data());
    assert((record != nullptr) == valid);
    std::free(record);

    std::vector<char> copy(text.c_str(), text.c_str() + text.size() + 1);
    ValidateFwAndConcatenateData(copy.data());
    const int32_t length = gDataConcatenatedLenght;
    const uint8_t* image = gDataConcatenated;
    static const std::vector<uint8_t> kErased(CONCAT_BUFFER_SIZE, 0xFF);
    assert(length >= 0 && length <= CONCAT_BUFFER_SIZE &&
           std::memcmp(image + length, kErased.data(), CONCAT_BUFFER_SIZE - length) == 0);
    assert(std::count(image + CONCAT_BUFFER_SIZE, image + CONCAT_BUFFER_SIZE + CONCAT_BUFFER_GUARD, 0) ==
           CONCAT_BUFFER_GUARD);
    computeImageCheckSum();
    assert(gDataConcatenatedCheckSum == 0u - std::accumulate(image, image + length, 0u));
    return 0;
}
