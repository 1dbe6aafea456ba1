// Intel HEX for tests, sharing no code with the tool: a record writer, and a deliberately plain
// reader that splits at CR LF and decodes each field with the standard library.
#ifndef TESTS_REFERENCE_HEX_H
#define TESTS_REFERENCE_HEX_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace reference_hex {

// One record line, ":LLAAAATT<data>CC", upper-case digits, no line end.
inline std::string record(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), address >> 8 & 0xFF, address & 0xFF,
                                   type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char pair[3];
    for (const unsigned b : bytes) {
        sum += b;
        std::snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - sum % 256) % 256);
    return line + pair;
}

// The checksum the unit is told for an image: 0 minus the sum of its bytes, modulo 2^32.
template <typename Iterator> uint32_t checksum(Iterator first, Iterator last) {
    uint32_t sum = 0;
    for (; first != last; ++first) {
        sum -= static_cast<uint8_t>(*first);
    }
    return sum;
}

struct Record {
    unsigned length, address, type;
    std::vector<uint8_t> data;
};

// Parses a text whose every record ends with CR LF, in upper-case digits, with lengths and
// checksums that agree. On a problem, `problem` names the line.
inline std::vector<Record> parse(const std::string& text, std::string& problem) {
    std::vector<Record> records;
    for (std::size_t pos = 0, end; pos < text.size() && problem.empty(); pos = end + 2) {
        end = text.find("\r\n", pos);
        const std::string line = text.substr(pos, end - pos);
        if (end == std::string::npos || line.size() < 11 || line[0] != ':' ||
            line.find_first_not_of("0123456789ABCDEF", 1) != std::string::npos) {
            problem = "malformed line " + line;
            break;
        }
        auto byteAt = [&](std::size_t i) {
            return static_cast<unsigned>(std::stoul(line.substr(i, 2), nullptr, 16));
        };
        unsigned sum = 0;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
            sum += byteAt(i);
        }
        if (sum % 256 != 0 || line.size() != 11 + 2 * byteAt(1)) {
            problem = "bad length or checksum " + line;
            break;
        }
        Record r{byteAt(1), byteAt(3) * 256 + byteAt(5), byteAt(7), {}};
        for (unsigned i = 0; i < r.length; ++i) {
            r.data.push_back(static_cast<uint8_t>(byteAt(9 + 2 * i)));
        }
        records.push_back(r);
    }
    return records;
}

// The whole 4 MiB, 0xFF where no record lands; the length is the offset just past the highest
// data byte, the checksum 0 minus the byte sum of bytes 0 .. length - 1.
struct Image {
    std::vector<uint8_t> bytes;
    uint32_t length = 0, checksum = 0;
};

// Flattens records the way the unit expects them: the upper address from the second byte of an
// extended linear address record, 0xFF filler.
inline Image flatten(const std::vector<Record>& records) {
    Image image;
    image.bytes.assign(4u * 1024u * 1024u, 0xFF);
    uint32_t upper = 0;
    for (const Record& r : records) {
        if (r.type == 4) {
            upper = r.data.at(1) * 65536u;
        } else if (r.type == 0) {
            std::copy(r.data.begin(), r.data.end(), image.bytes.begin() + upper + r.address);
            image.length = std::max(image.length, upper + r.address + r.length);
        }
    }
    image.checksum = checksum(image.bytes.begin(), image.bytes.begin() + image.length);
    return image;
}

inline Image flatten(const std::string& text) {
    std::string problem;
    return flatten(parse(text, problem));
}

// The bytes the unit is sent for a text: the flat image from 0 to its length.
inline std::string imageSent(const std::string& text) {
    const Image image = flatten(text);
    return std::string(image.bytes.begin(), image.bytes.begin() + image.length);
}

} // namespace reference_hex

#endif
