// A strict Base64 decoder for tests, sharing no code with the tool's codec: whole groups of four
// only, "=" only at the very end, no line breaks. Empty when the text breaks any of these rules.
#ifndef TESTS_REFERENCE_BASE64_H
#define TESTS_REFERENCE_BASE64_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reference_base64 {

inline std::optional<std::vector<uint8_t>> decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> out;
    for (std::size_t g = 0; g < text.size(); g += 4) {
        const bool last = g + 4 == text.size();
        unsigned value = 0;
        int pads = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[g + k];
            const auto pos = alphabet.find(c);
            if (c == '=' && last && k >= 2) {
                ++pads;
            } else if (pos == std::string::npos || pads > 0) {
                return std::nullopt;
            }
            value = (value << 6) | (c == '=' ? 0u : static_cast<unsigned>(pos));
        }
        out.push_back(static_cast<uint8_t>(value >> 16));
        if (pads < 2) out.push_back(static_cast<uint8_t>(value >> 8));
        if (pads < 1) out.push_back(static_cast<uint8_t>(value));
    }
    return out;
}

} // namespace reference_base64

#endif
