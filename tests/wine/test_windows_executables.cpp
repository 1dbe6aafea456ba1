// The cross-built Windows executables as a bare technician's PC receives them: 64-bit console
// programs that import nothing but system DLLs (the C and C++ runtimes are linked in), with the
// 2 MiB stack the reply accumulators need. Read straight from their PE headers.
#include "WineSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct PeFacts {
    std::string problem;
    uint16_t machine = 0;
    uint16_t subsystem = 0;
    uint64_t stackReserve = 0;
    std::set<std::string> imports; // lower case
};

class PeReader {
public:
    explicit PeReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    bool in(std::size_t offset, std::size_t size) const { return offset <= bytes_.size() && size <= bytes_.size() - offset; }
    uint64_t le(std::size_t offset, int size) const {
        uint64_t value = 0;
        for (int i = size - 1; i >= 0; --i) {
            value = (value << 8) | bytes_[offset + static_cast<std::size_t>(i)];
        }
        return value;
    }
    std::string text(std::size_t offset) const {
        std::string s;
        while (offset < bytes_.size() && bytes_[offset] != 0) {
            s += static_cast<char>(std::tolower(bytes_[offset++]));
        }
        return s;
    }

    PeFacts read() const {
        PeFacts facts;
        if (!in(0, 0x40) || bytes_[0] != 'M' || bytes_[1] != 'Z') {
            facts.problem = "no MZ header";
            return facts;
        }
        const std::size_t pe = le(0x3C, 4);
        if (!in(pe, 24) || le(pe, 4) != 0x00004550) {
            facts.problem = "no PE signature";
            return facts;
        }
        const std::size_t coff = pe + 4;
        facts.machine = static_cast<uint16_t>(le(coff, 2));
        const std::size_t sections = le(coff + 2, 2);
        const std::size_t optionalSize = le(coff + 16, 2);
        const std::size_t optional = coff + 20;
        if (!in(optional, optionalSize) || optionalSize < 128 || le(optional, 2) != 0x20B) {
            facts.problem = "not a PE32+ optional header";
            return facts;
        }
        facts.subsystem = static_cast<uint16_t>(le(optional + 68, 2));
        facts.stackReserve = le(optional + 72, 8);
        const std::size_t importRva = le(optional + 112 + 8, 4); // data directory 1: imports
        const std::size_t sectionTable = optional + optionalSize;
        auto fileOffset = [&](std::size_t rva) -> std::size_t {
            for (std::size_t i = 0; i < sections; ++i) {
                const std::size_t s = sectionTable + i * 40;
                if (!in(s, 40)) {
                    break;
                }
                const std::size_t va = le(s + 12, 4), rawSize = le(s + 16, 4), raw = le(s + 20, 4);
                const std::size_t size = std::max<std::size_t>(rawSize, le(s + 8, 4));
                if (rva >= va && rva < va + size) {
                    return raw + (rva - va);
                }
            }
            return bytes_.size();
        };
        for (std::size_t d = fileOffset(importRva); in(d, 20) && le(d + 12, 4) != 0; d += 20) {
            facts.imports.insert(text(fileOffset(le(d + 12, 4))));
        }
        return facts;
    }

private:
    std::vector<uint8_t> bytes_;
};

PeFacts readExecutable(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return PeReader(std::move(bytes)).read();
}

TEST(WindowsExecutables, AreStaticConsoleProgramsWithATwoMiBStack) {
    // DLLs every Windows installation carries; anything else (libstdc++-6.dll, libgcc_s_seh-1.dll,
    // libwinpthread-1.dll, vcruntime140.dll) would have to be installed on the PC.
    const std::set<std::string> systemDlls = {"kernel32.dll", "msvcrt.dll"};
    for (const char* name : {"src/VelmoraFwUpgrade.exe", "src/VelmoraFwWebFile.exe"}) {
        SCOPED_TRACE(name);
        const PeFacts facts = readExecutable(wine_test::windowsProgram(name));
        ASSERT_EQ(facts.problem, "");
        EXPECT_EQ(facts.machine, 0x8664) << "x86-64";
        EXPECT_EQ(facts.subsystem, 3) << "a console program";
        EXPECT_EQ(facts.stackReserve, 2u * 1024 * 1024);
        EXPECT_TRUE(facts.imports.count("kernel32.dll")) << "the imports were read";
        for (const std::string& dll : facts.imports) {
            EXPECT_TRUE(systemDlls.count(dll)) << "imports " << dll;
        }
    }
}

} // namespace
