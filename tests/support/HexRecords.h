// Intel HEX for tests, sharing no code with the tool: a record writer, the checksum the unit is
// told for an image, and the images srecord's srec_cat made of the embedded texts at build time.
#ifndef TESTS_HEX_RECORDS_H
#define TESTS_HEX_RECORDS_H

#include "Files.h"

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

// One record line, ":LLAAAATT<data>CC", upper-case digits, no line end.
inline std::string record(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), address >> 8 & 0xFF, address & 0xFF,
                                   type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    std::string line = ":";
    char pair[3];
    for (const unsigned b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
    }
    std::snprintf(pair, sizeof pair, "%02X",
                  (0x100 - std::accumulate(bytes.begin(), bytes.end(), 0u) % 256) % 256);
    return line + pair;
}

// 0 minus the sum of the image's bytes, modulo 2^32.
template <typename Iterator> uint32_t checksum(Iterator first, Iterator last) {
    return std::accumulate(first, last, 0u,
                           [](uint32_t sum, auto b) { return sum - static_cast<uint8_t>(b); });
}

// The bytes the unit must receive for an embedded text: the image from address 0 to its highest
// data byte, 0xFF where no record lands (srec_cat's binary output, see tests/CMakeLists.txt).
inline std::string expectedImage(const std::string& text) {
    return readFile(FWUPGRADE_EXPECTED_IMAGES "/" + text + ".bin");
}

#endif
