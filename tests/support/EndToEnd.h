// Checks shared by the end-to-end runs (the Linux executable over a pty, and the Windows
// executable under Wine): what a whole update must show on its three sides -- the console text,
// the simulator's trace of the line, and the images the simulator received.
#ifndef TESTS_END_TO_END_H
#define TESTS_END_TO_END_H

#include "ReferenceHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

struct TraceLine {
    int64_t ms = 0;
    char direction = 0; // R received line, S sent text, E event
    uint32_t baud = 0;
    std::string text;   // unescaped, byte for byte
};

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// Undoes the trace file's escapes: \r \n \t \\ and \xNN.
inline std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

inline std::vector<TraceLine> readTrace(const std::string& path) {
    std::vector<TraceLine> lines;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        TraceLine entry;
        char direction = 0;
        long long ms = 0;
        unsigned long baud = 0;
        int consumed = 0;
        if (std::sscanf(line.c_str(), "%lld %c %lu %n", &ms, &direction, &baud, &consumed) < 3) {
            continue;
        }
        entry.ms = ms;
        entry.direction = direction;
        entry.baud = static_cast<uint32_t>(baud);
        entry.text = unescape(line.substr(static_cast<std::size_t>(consumed)));
        lines.push_back(entry);
    }
    return lines;
}

inline std::vector<TraceLine> only(const std::vector<TraceLine>& trace, char direction) {
    std::vector<TraceLine> picked;
    std::copy_if(trace.begin(), trace.end(), std::back_inserter(picked),
                 [direction](const TraceLine& t) { return t.direction == direction; });
    return picked;
}

// The flat image of an embedded stand-in, read independently from the generated text.
inline reference_hex::Image referenceImage(const std::string& firmwareDir, const std::string& name) {
    std::string problem;
    const auto records = reference_hex::parse(readFile(firmwareDir + "/" + name), problem);
    EXPECT_EQ(problem, "") << name;
    return reference_hex::flatten(records);
}

// Expects `pieces` to appear in `text` in this order; returns where the last one ends.
inline std::size_t expectInOrder(const std::string& text, const std::vector<std::string>& pieces) {
    std::size_t at = 0;
    for (const std::string& piece : pieces) {
        const std::size_t found = text.find(piece, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << piece;
        if (found == std::string::npos) {
            return at;
        }
        at = found + piece.size();
    }
    return at;
}

// What the reboot wait shows: 46 steps of "%3d%%" each erased by four backspaces, then 100%,
// erased and shown again after the boot-text reads.
inline std::string rebootCounterText() {
    std::string counter;
    for (int i = 0; i < 46; ++i) {
        char step[8];
        std::snprintf(step, sizeof step, "%3d%%", i * 100 / 46);
        counter += std::string(step) + "\b\b\b\b";
    }
    return counter + "100%\b\b\b\b100%";
}

// A fresh, empty directory `name` under `parent` (both created as needed).
inline std::string freshDirectory(const std::string& parent, const std::string& name) {
    const std::string dir = parent + "/" + name;
    const std::string clear = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(std::system(clear.c_str()), 0);
    return dir;
}

struct UnitUnderTest {
    bool rx = false;
    int port = 3;
    uint32_t baud = 9600;
};

// Console of a whole successful update found by detection, from the banner to the key prompt.
inline void expectFullUpdateConsole(const std::string& console, const UnitUnderTest& unit) {
    const std::string identity = unit.rx ? "Kovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>"
                                         : "Kovlar QV7 SIGNAL LINK TX WITH ETHERNET\r\n>>";
    const std::size_t end = expectInOrder(
        console, {
                     "\n\rYou are about to upload the firmware version 1.0.3",
                     "\n\r\n\rDetecting COM port and Baud Rate..................OK\r\n",
                     "COM PORT Number : " + std::to_string(unit.port),
                     "\r\nBaud rate       : " + std::to_string(unit.baud) + " \r\n\r\n",
                     "Checking firmware version ..............  1.00.02 \r\n",
                     std::string("Checking fpga version ..................  ") + (unit.rx ? "QV7RX" : "QV7TX") +
                         " 1.03  device:9\r\n",
                     std::string("Checking product .......... ") + (unit.rx ? "RX" : "TX") + " OK\r\n" + identity +
                         "\r\n",
                     "Preparing to Upload Programmable Logic ............ OK\r\n",
                     "Sending Programmable Logic data ................... 1%",
                     "100%OK\r\n",
                     "Preparing to Upload Firmware ...................... OK\r\n",
                     "Sending data ...................................... 1%",
                     "100% OK\n\r\n\r",
                     "Please wait while the unit is rebooting ........... " + rebootCounterText(),
                     "\n\r\n\rThe update was successful, the unit is now operational\r\n",
                     "\r\nPress any key to exit",
                 });
    EXPECT_EQ(end, console.size()) << "nothing after the key prompt";
    EXPECT_EQ(console.find("ERROR"), std::string::npos);
    EXPECT_EQ(console.find("FAILED"), std::string::npos);
}

// The simulator's trace of a whole update: every line it heard, byte for byte, at the rate of its
// phase, and what it answered.
inline void expectFullUpdateTrace(const std::vector<TraceLine>& trace, const UnitUnderTest& unit,
                                  const reference_hex::Image& logic, const reference_hex::Image& mcu) {
    const auto heard = only(trace, 'R');
    std::vector<std::pair<std::string, uint32_t>> lines;
    for (const TraceLine& t : heard) {
        lines.emplace_back(t.text, t.baud);
    }
    std::vector<std::pair<std::string, uint32_t>> expected = {
        {"%%%help -c version\n\r", unit.baud},
        {"%%%fw -v\n\r", unit.baud},
        {"%%%fw -p\n\r", unit.baud},
    };
    if (unit.rx) {
        expected.emplace_back("%%%fw -p\n\r", unit.baud);
    }
    expected.emplace_back("%%%fw -l " + std::to_string(logic.checksum) + " " + std::to_string(logic.length) + "\n\r",
                          unit.baud);
    expected.emplace_back("%%%fw -h " + std::to_string(mcu.checksum) + " " + std::to_string(mcu.length) + "\n\r",
                          115200u);
    EXPECT_EQ(lines, expected);

    // What the unit answered, in order, and at which rate: the commands and the logic
    // announcement at the unit's own rate, the uploads' replies and the microcontroller
    // announcement at 115200, the boot text at the unit's rate again.
    std::vector<std::pair<std::string, uint32_t>> answers;
    for (const TraceLine& t : only(trace, 'S')) {
        answers.emplace_back(t.text, t.baud);
    }
    ASSERT_EQ(answers.size(), expected.size() + 3) << "one answer per line heard, two SUCCESS and the boot text";
    EXPECT_EQ(answers[0].first, "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>");
    const std::size_t ready = expected.size() - 2;
    const std::vector<std::pair<std::string, uint32_t>> uploads(answers.begin() + static_cast<long>(ready),
                                                                answers.end() - 1);
    const std::vector<std::pair<std::string, uint32_t>> expectedUploads = {
        {"Ready", unit.baud}, {"SUCCESS", 115200u}, {"Ready", 115200u}, {"SUCCESS", 115200u}};
    EXPECT_EQ(uploads, expectedUploads);
    for (std::size_t i = 0; i < ready; ++i) {
        EXPECT_EQ(answers[i].second, unit.baud) << answers[i].first;
    }
    const auto& boot = answers.back();
    EXPECT_EQ(boot.second, unit.baud);
    ASSERT_GE(boot.first.size(), 3u);
    EXPECT_EQ(boot.first.front(), '[');
    EXPECT_EQ(boot.first.substr(boot.first.size() - 2), ">>");
}

// The images the simulator saved: byte for byte the flat images, with matching announcements.
inline void expectReceivedImages(const std::string& imagesDir, const reference_hex::Image& logic,
                                 const reference_hex::Image& mcu) {
    const struct {
        const char* kind;
        const reference_hex::Image& image;
    } expected[] = {{"l", logic}, {"h", mcu}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.kind);
        const std::string bytes = readFile(imagesDir + "/" + e.kind + ".bin");
        ASSERT_EQ(bytes.size(), e.image.length);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), e.image.bytes.begin(),
                               [](char r, uint8_t i) { return static_cast<uint8_t>(r) == i; }));
        const std::string info = readFile(imagesDir + "/" + e.kind + ".txt");
        EXPECT_NE(info.find("announcedChecksum " + std::to_string(e.image.checksum) + "\n"), std::string::npos) << info;
        EXPECT_NE(info.find("announcedLength " + std::to_string(e.image.length) + "\n"), std::string::npos) << info;
    }
}

} // namespace e2e

#endif
