// What the update tool must print, piece by piece, and send (the announcements, the images), for the
// tests of every level to put together, and a matcher for a console that must hold pieces in order;
// with a record writer for texts of the tests' own. Nothing here shares code with the tool.
#pragma once

#include "Files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

// 0 minus the sum of the image's bytes, modulo 2^32.
template <typename Iterator> uint32_t checksum(Iterator first, Iterator last) {
    return std::accumulate(first, last, 0u, [](uint32_t s, auto b) { return s - static_cast<uint8_t>(b); });
}

// One record line, ":LLAAAATT<data>CC", upper-case digits, no line end; its last byte is the low byte
// of the checksum of the others.
inline std::string record(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    std::vector<unsigned> bytes{static_cast<unsigned>(data.size()), address >> 8 & 255, address & 255, type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.push_back(checksum(bytes.begin(), bytes.end()) & 255);
    return std::accumulate(bytes.begin(), bytes.end(), std::string(":"), [](std::string line, unsigned b) {
        return line + "0123456789ABCDEF"[b >> 4] + "0123456789ABCDEF"[b & 15];
    });
}

// The bytes the unit must receive for an embedded text: the image from address 0 to its highest
// data byte, 0xFF where no record lands (srec_cat's binary output, see tests/CMakeLists.txt).
inline std::string expectedImage(const std::string& text) {
    return readFile(FWUPGRADE_EXPECTED_IMAGES "/" + text + ".bin");
}

namespace console_text {

inline const std::string kBanner = "\n\rYou are about to upload the firmware version 1.0.3"
                                   "\n\r\n\rDetecting COM port and Baud Rate..................";
inline const std::string kProduct = "Checking product .......... ";
inline const std::string kTxOk = "TX OK\r\nKovlar QV7 SIGNAL LINK TX WITH ETHERNET\r\n>>\r\n";
inline const std::string kRxOk = "RX OK\r\nKovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>\r\n";
inline const std::string kLogic = "Preparing to Upload Programmable Logic ............ ";
inline const std::string kSendLogic = "Sending Programmable Logic data ................... ";
inline const std::string kMcu = "Preparing to Upload Firmware ...................... ";
inline const std::string kKey = "\r\nPress any key to exit";
inline const std::string kFailed = "\n\rERROR: The update was not successful.\r\n" + kKey;
inline const std::string kUnknown = kProduct + "FAILED, Unknown product\r\n" + kFailed;
// A walk that found nothing: the port asked for, and the start of its opening.
inline const std::string kManual = kBanner + "FAILED\n\r\n\rEnter the COM port number : \r\nOpening COM";
inline const std::string kSuccess =
    "\n\r\n\rThe update was successful, the unit is now operational\r\n" + kKey;

inline std::string found(int port, int baud) {
    return kBanner + "OK\r\nCOM PORT Number : " + std::to_string(port) +
           "\r\nBaud rate       : " + std::to_string(baud) + " \r\n\r\n";
}
inline std::string versions(const std::string& model, const std::string& device) {
    return "Checking firmware version ..............  1.00.02 \r\n"
           "Checking fpga version ..................  " +
           model + " 1.03  device:" + device + "\r\n";
}
// The prompts after a walk that found nothing, the port opened, the rate set.
inline std::string manual(int port, int baud) {
    return kManual + std::to_string(port) + "....................OK\r\n\n\r\n\rEnter the BAUD RATE" +
           "       : \r\nSetting baud rate at " + std::to_string(baud) + "..........OK\r\n";
}
inline std::string notOpened(const std::string& port) {
    return kManual + port + "....................ERROR: Opening COM" + port + " failed !" + kKey;
}
// The end of the microcontroller upload and the reboot wait: 46 steps of 3 s with the share
// done, then 100% before and after the boot reads.
inline std::string rebootWait() {
    std::string text = "100% OK\n\r\n\rPlease wait while the unit is rebooting ........... ";
    for (int step = 0; step < 46; ++step) { // three places: the first five shares are below 10%
        text += (step < 5 ? "  " : " ") + std::to_string(step * 100 / 46) + "%\b\b\b\b";
    }
    return text + "100%\b\b\b\b100%";
}
// A whole update found by detection: the pieces between the progress counters of the images.
inline std::vector<std::string> wholeUpdate(int port, int baud, bool rx, const std::string& end = kSuccess) {
    return {found(port, baud) + versions(rx ? "QV7RX" : "QV7TX", "9") + kProduct + (rx ? kRxOk : kTxOk) +
                kLogic + "OK\r\n" + kSendLogic + "1%\b\b0%\b\b1%",
            "99%\b\b\b100%OK\r\n" + kMcu +
                "OK\r\nSending data ...................................... 1%\b\b8%",
            "99%\b\b\b" + rebootWait() + end};
}

// The upload announcement of an image, as the unit hears it: its checksum and length.
inline std::string announce(char kind, const std::string& image) {
    return std::string("%%%fw -") + kind + " " + std::to_string(checksum(image.begin(), image.end())) + " " +
           std::to_string(image.size()) + "\n\r";
}

// Expects the pieces in `text` in this order, the first at its start and the last at its end.
inline void expectPieces(const std::string& text, const std::vector<std::string>& pieces) {
    std::size_t at = 0;
    for (const std::string& piece : pieces) {
        at = at > 0 ? text.find(piece, at) : text.rfind(piece, 0); // the first one at the start
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << piece << "\nin: " << text;
        at += piece.size();
    }
    EXPECT_EQ(at, text.size()) << "more after the last piece: " << text.substr(at);
}

} // namespace console_text
