// A hex text as the tool reads the images it carries: the whole text flattened into the image and
// summed, and its first line through both record readers. Both work on copies of exactly the text
// and its terminator, so a read past the terminator is an overrun.
//
// Checked for every text, besides the sanitizers: the one-pass reader (the flattening's) and the
// plain reader agree on whether the line is a valid record and on its data bytes; a valid line is
// long enough for the data length it gives; the image stays inside its buffer (the guard bytes
// after it stay zero) and nothing past its length is written; the checksum is 0 minus the byte sum
// of the image; a refused text is told on the console, an accepted one says nothing.
#include "FlatImage.h"
#include "IntelHex.h"
#include "WorkingBuffers.h"

#include "FuzzCheck.h"
#include "VirtualConsole.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

std::vector<char> terminated(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return copy;
}

// The record reader the flattening uses against the plain one, on one line.
void checkRecordLine(const std::string& text) {
    std::vector<char> copy = terminated(text);
    std::vector<uint8_t> bytes(INTEL_HEX_MAX_RECORD_BYTES); // exactly the documented room
    const bool valid =
        intel_hex_line_decode_valid(copy.data(), text.size(), bytes.data()) == INTEL_HEX_STRING_OK;
    uint8_t* data = new_u8_data_array_from_intel_hex_string(copy.data());
    const unsigned dataLength = bytes[0];
    FUZZ_CHECK((data != nullptr) == valid);
    FUZZ_CHECK(!valid || (text[0] == ':' && text.size() >= INTEL_HEX_MIN_LINE_LENGTH + 2 * dataLength &&
                          std::memcmp(data, bytes.data() + 4, dataLength) == 0));
    std::free(data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    FUZZ_CHECK(ready);
    const auto* chars = reinterpret_cast<const char*>(data);
    const std::string text(chars, strnlen(chars, size));
    checkRecordLine(text.substr(0, text.find_first_of("\r\n"))); // the first line

    virtual_console::reset();
    std::vector<char> copy = terminated(text);
    const BOOL ok = ValidateFwAndConcatenateData(copy.data());
    const int32_t length = gDataConcatenatedLenght;
    FUZZ_CHECK(length >= 0 && length <= CONCAT_BUFFER_SIZE && virtual_console::output().empty() == (ok == 1));
    const uint8_t* image = gDataConcatenated;
    // The image is filled with 0xFF first: past the length every byte is still that.
    static const std::vector<uint8_t> kFill(CONCAT_BUFFER_SIZE, 0xFF);
    static const std::vector<uint8_t> kGuard(CONCAT_BUFFER_GUARD, 0);
    FUZZ_CHECK(std::memcmp(image + length, kFill.data(), CONCAT_BUFFER_SIZE - length) == 0);
    FUZZ_CHECK(std::memcmp(image + CONCAT_BUFFER_SIZE, kGuard.data(), CONCAT_BUFFER_GUARD) == 0);
    computeImageCheckSum();
    FUZZ_CHECK(gDataConcatenatedCheckSum == 0u - std::accumulate(image, image + length, 0u));
    return 0;
}
