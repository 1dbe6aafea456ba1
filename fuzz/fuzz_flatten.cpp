// A whole hex text into ValidateFwAndConcatenateData, then the image checksum.
//
// Whatever the text, the flattening stays inside the image (the 16 guard bytes after it stay
// zero), the length stays within the image, and the checksum is 0 minus the byte sum of the
// image's first `length` bytes. When the text is one the independent reader of the tests takes
// as well-formed (CR LF after every record, upper-case digits, lengths that agree, checksums
// right) and every record is one the tool is meant to take (at most 43 data bytes, so that the
// line fits its buffer; an address record with both bytes; data inside the 4 MiB image; a
// type below 0x10), the tool must take it too and produce the same image byte for byte.
#include "FlatImage.h"
#include "WorkingBuffers.h"

#include "FuzzCheck.h"
#include "ReferenceHex.h"
#include "VirtualConsole.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool referenceApplies(const std::vector<reference_hex::Record>& records) {
    uint32_t upper = 0;
    for (const reference_hex::Record& r : records) {
        if (r.length > 43 || r.type >= 0x10) {
            return false;
        }
        if (r.type == 4) {
            if (r.length < 2) {
                return false;
            }
            upper = r.data[1] * 65536u;
        } else if (r.type == 0 && static_cast<uint64_t>(upper) + r.address + r.length > CONCAT_BUFFER_SIZE) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = WorkingBuffers_Setup() != 0;
    FUZZ_CHECK(ready);
    virtual_console::reset();

    const auto* bytes = reinterpret_cast<const char*>(data);
    const std::string text(bytes, strnlen(bytes, size));
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0'); // exactly the text and its terminator: nothing beyond may be touched

    const BOOL ok = ValidateFwAndConcatenateData(copy.data());
    FUZZ_CHECK(ok == 0 || ok == 1);
    FUZZ_CHECK(gDataConcatenatedLenght >= 0 && gDataConcatenatedLenght <= CONCAT_BUFFER_SIZE);
    for (int i = 0; i < CONCAT_BUFFER_GUARD; ++i) {
        FUZZ_CHECK(gDataConcatenated[CONCAT_BUFFER_SIZE + i] == 0);
    }
    const std::string& shown = virtual_console::output();
    if (!ok) {
        FUZZ_CHECK(shown.find("\r\n intel_hex_line_is_valid \r\n") != std::string::npos ||
                   shown == "\r\nNUL extractedHexLine \r\n");
    } else {
        FUZZ_CHECK(shown.empty());
    }

    computeImageCheckSum();
    uint32_t sum = 0;
    for (int32_t i = 0; i < gDataConcatenatedLenght; ++i) {
        sum += gDataConcatenated[i];
    }
    FUZZ_CHECK(gDataConcatenatedCheckSum == 0u - sum);

    std::string problem;
    const auto records = reference_hex::parse(text, problem);
    if (problem.empty() && referenceApplies(records)) {
        FUZZ_CHECK(ok == 1);
        const reference_hex::Image image = reference_hex::flatten(records);
        FUZZ_CHECK(static_cast<uint32_t>(gDataConcatenatedLenght) == image.length);
        FUZZ_CHECK(gDataConcatenatedCheckSum == image.checksum);
        FUZZ_CHECK(std::memcmp(gDataConcatenated, image.bytes.data(), CONCAT_BUFFER_SIZE) == 0);
    }
    return 0;
}
