// Writes the three stand-in firmware texts that the build embeds when no real firmware directory
// is given. They have the shape of the shipped files: the same names, text lengths, record counts
// and address layout, upper-case hexadecimal, CR LF after every record, ":00000001FF" last.
// The data bytes are pseudo-random from a fixed seed, so every build embeds the same bytes.
//
//   M627184_MCU_61_V1_03.hex     microcontroller, at 0x80008000: three sections with gaps,
//                                upper addresses 0x8000 and 0x8001, a start linear address
//                                record, last data record at flat offset 0x1E438
//   M627184_TX_XC7A15_V1_03.mcs  TX programmable logic from address 0, last record of 4 bytes
//                                at 1,060,784
//   M627184_RX_XC7A15_V1_03.mcs  RX programmable logic from address 0, last record of 12 bytes
//                                at 1,130,448
//
// Usage: make_standin_firmware <output directory>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint8_t nextByte() {
        // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint8_t>((z ^ (z >> 31)) >> 24);
    }

  private:
    uint64_t state_;
};

class HexWriter {
  public:
    void record(uint8_t type, uint16_t address, const uint8_t* data, unsigned length) {
        uint8_t sum = static_cast<uint8_t>(length + (address >> 8) + (address & 0xFF) + type);
        char head[16];
        std::snprintf(head, sizeof head, ":%02X%04X%02X", length, address, type);
        text_ += head;
        for (unsigned i = 0; i < length; ++i) {
            appendByte(data[i]);
            sum = static_cast<uint8_t>(sum + data[i]);
        }
        appendByte(static_cast<uint8_t>(0u - sum));
        text_ += "\r\n";
    }

    void extendedLinearAddress(uint16_t upper) {
        const uint8_t data[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)};
        record(4, 0, data, 2);
    }

    // Data from a 32-bit address, one record per 16 bytes, a new upper address at every 64 KiB.
    void data(uint32_t address, unsigned length, Random& random) {
        uint8_t bytes[16];
        for (unsigned i = 0; i < length; ++i) {
            bytes[i] = random.nextByte();
        }
        const auto upper = static_cast<uint16_t>(address >> 16);
        if (!haveUpper_ || upper != upper_) {
            extendedLinearAddress(upper);
            upper_ = upper;
            haveUpper_ = true;
        }
        record(0, static_cast<uint16_t>(address & 0xFFFF), bytes, length);
    }

    void run(uint32_t address, unsigned records, Random& random) {
        for (unsigned i = 0; i < records; ++i) {
            data(address + 16u * i, 16, random);
        }
    }

    void startLinearAddress(uint32_t entry) {
        const uint8_t data[4] = {static_cast<uint8_t>(entry >> 24), static_cast<uint8_t>(entry >> 16),
                                 static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry)};
        record(5, 0, data, 4);
    }

    void endOfFile() { record(1, 0, nullptr, 0); }

    // Programmable-logic images carry upper addresses from 0x0000 up, so the first one is written
    // even though the data start at address 0.
    void forceUpper(uint16_t upper) {
        extendedLinearAddress(upper);
        upper_ = upper;
        haveUpper_ = true;
    }

    const std::string& text() const { return text_; }

  private:
    void appendByte(uint8_t value) {
        static const char digits[] = "0123456789ABCDEF";
        text_ += digits[value >> 4];
        text_ += digits[value & 0xF];
    }

    std::string text_;
    uint16_t upper_ = 0;
    bool haveUpper_ = false;
};

std::string microcontrollerText() {
    Random random(0x627184000061ull);
    HexWriter hex;
    // Addresses are written with the upper half 0x8000; the flat offsets are the low 24 bits.
    const uint32_t base = 0x80000000u;
    hex.run(base + 0x8000, 1024, random);      // section 1: 0x8000 - 0xBFFF
    hex.run(base + 0xC100, 1520, random);      // section 2 after a 256-byte gap ...
    hex.data(base + 0x12000, 4, random);       // ... ending in a short record
    hex.run(base + 0x12008, 3139 + 1, random); // section 3, last record at 0x1E438
    hex.startLinearAddress(base + 0x8000 + 0x1C1);
    hex.endOfFile();
    return hex.text();
}

std::string programmableLogicText(uint64_t seed, unsigned fullRecords, unsigned lastLength) {
    Random random(seed);
    HexWriter hex;
    hex.forceUpper(0);
    hex.run(0, fullRecords, random);
    hex.data(16u * fullRecords, lastLength, random);
    hex.endOfFile();
    return hex.text();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "make_standin_firmware: cannot create %s\n", path.c_str());
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "make_standin_firmware: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_standin_firmware <output directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok =
        writeFile(dir + "/M627184_MCU_61_V1_03.hex", microcontrollerText()) &&
        writeFile(dir + "/M627184_TX_XC7A15_V1_03.mcs", programmableLogicText(0x7A15000001ull, 66299, 4)) &&
        writeFile(dir + "/M627184_RX_XC7A15_V1_03.mcs", programmableLogicText(0x7A15000002ull, 70653, 12));
    return ok ? 0 : 1;
}
