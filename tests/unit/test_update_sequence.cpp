// The whole update against the simulated unit on the virtual clock: the console text, the lines
// the unit heard, the rates of each phase, the images it received, and how long each part took.
#include "ComPortAPI.h"
#include "PortDetection.h"
#include "UpdateSequence.h"
#include "WorkingBuffers.h"
#include "firmware/BinImage.h"

#include "EndToEnd.h"
#include "ReferenceHex.h"
#include "SerialTestFixture.h"
#include "VirtualConsole.h"
#include "VirtualPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using velmora_sim::UnitKind;
using velmora_sim::UnitOptions;

constexpr int kPort = 3;

const reference_hex::Image& referenceImage(int index) {
    static std::vector<reference_hex::Image> images;
    if (images.empty()) {
        for (int i = 0; i < 3; ++i) {
            std::string problem;
            const std::string text(AUTOGEN_FILES[i].fileData, static_cast<std::size_t>(AUTOGEN_FILES[i].fileDataLength));
            images.push_back(reference_hex::flatten(reference_hex::parse(text, problem)));
        }
    }
    return images[static_cast<std::size_t>(index)];
}

std::string announcement(char kind, int index) {
    const reference_hex::Image& image = referenceImage(index);
    return std::string("%%%fw -") + kind + " " + std::to_string(image.checksum) + " " + std::to_string(image.length) +
           "\n\r";
}

class UpdateSequence : public SerialTest {
  protected:
    void TearDown() override {
        ComPortAPI_CloseCOM();
        SerialTest::TearDown();
    }

    // The unit is found and opened the way the entry does it, then the update runs.
    BOOL run(const UnitOptions& options) {
        unit_ = &virtual_platform::attachUnit(kPort, options);
        ComPortAPI_SetHardwareFlowControl(0);
        EXPECT_EQ(detectComPortAndBaudrate(), 1);
        ComPortAPI_SetHardwareFlowControl(1);
        virtual_console::reset();
        startMs_ = virtual_platform::nowMs();
        traceStart_ = unit_->trace().size();
        const BOOL result = updateFirmware();
        endMs_ = virtual_platform::nowMs();
        return result;
    }

    // Lines the unit heard during the update, byte for byte, with the rate it heard them at.
    std::vector<std::pair<std::string, uint32_t>> linesHeard() const {
        std::vector<std::pair<std::string, uint32_t>> lines;
        for (std::size_t i = traceStart_; i < unit_->trace().size(); ++i) {
            const auto& entry = unit_->trace()[i];
            if (entry.direction == 'R') {
                lines.emplace_back(entry.text, entry.baud);
            }
        }
        return lines;
    }

    const std::string& out() const { return virtual_console::output(); }

    velmora_sim::UnitModel* unit_ = nullptr;
    int64_t startMs_ = 0;
    int64_t endMs_ = 0;
    std::size_t traceStart_ = 0;
};

// The received bytes equal the image's first `length` bytes.
bool sameAsImage(const std::string& received, const reference_hex::Image& image) {
    return received.size() == image.length &&
           std::equal(received.begin(), received.end(), image.bytes.begin(),
                      [](char r, uint8_t i) { return static_cast<uint8_t>(r) == i; });
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}


TEST_F(UpdateSequence, FullTransmitterUpdate) {
    ASSERT_EQ(run(UnitOptions{}), 1) << out();

    // Console: every status line in order.
    const std::string& text = out();
    const std::vector<std::string> inOrder = {
        "Checking firmware version ..............  1.00.02 \r\n",
        "Checking fpga version ..................  QV7TX 1.03  device:9\r\n",
        "Checking product .......... TX OK\r\n" VALIDATE_TX_PRODUCT_ID_STRING "\r\n",
        "Preparing to Upload Programmable Logic ............ OK\r\n",
        "Sending Programmable Logic data ................... 1%",
        "100%OK\r\n",
        "Preparing to Upload Firmware ...................... OK\r\n",
        "Sending data ...................................... 1%",
        "100% OK\n\r\n\r",
        "Please wait while the unit is rebooting ........... " + e2e::rebootCounterText(),
        "\n\r\n\rThe update was successful, the unit is now operational\r\n",
    };
    std::size_t at = 0;
    for (const std::string& piece : inOrder) {
        const std::size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece;
        at = found + piece.size();
    }
    EXPECT_EQ(at, text.size()) << "nothing after the success line";
    EXPECT_EQ(text.find("RX OK"), std::string::npos);

    // Wire: the lines the unit heard and the rate of each phase.
    const auto lines = linesHeard();
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"%%%fw -v\n\r", 9600},
        {"%%%fw -p\n\r", 9600},
        {announcement('l', 1), 9600},
        {announcement('h', 0), 115200},
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(virtual_platform::appliedDcb(kPort).BaudRate, 9600u) << "back at the unit's rate for the boot text";

    // Images: byte for byte the flat images, with the announced checksums and lengths.
    ASSERT_EQ(unit_->images().size(), 2u);
    const int indices[2] = {1, 0};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& received = unit_->images()[i];
        const reference_hex::Image& image = referenceImage(indices[i]);
        EXPECT_EQ(received.kind, i == 0 ? 'l' : 'h');
        EXPECT_TRUE(received.checksumOk);
        EXPECT_EQ(received.announcedChecksum, image.checksum);
        EXPECT_EQ(static_cast<uint32_t>(received.announcedLength), image.length);
        EXPECT_TRUE(sameAsImage(received.bytes, image));
    }

    // Time: after the last data byte, 2 s for "SUCCESS", the 46 steps of 3 s, then the 1 s drain
    // and the 11 s boot-text read, each of which runs its full time-out.
    const auto& dataWrites = virtual_platform::writes(kPort);
    ASSERT_FALSE(dataWrites.empty());
    EXPECT_EQ(endMs_ - dataWrites.back().endMs, 2000 + 138000 + 1000 + 11000);
    // Both images at 115200 take about 103 s; the exchanges and the reboot wait add the rest.
    const int64_t total = endMs_ - startMs_;
    EXPECT_GT(total, 280000);
    EXPECT_LT(total, 300000);
}

TEST_F(UpdateSequence, FullReceiverUpdateAsksTheIdentityTwice) {
    UnitOptions options;
    options.kind = UnitKind::RX;
    options.baudRate = 57600;
    ASSERT_EQ(run(options), 1) << out();
    EXPECT_NE(out().find("Checking product .......... RX OK\r\n" VALIDATE_RX_PRODUCT_ID_STRING "\r\n"),
              std::string::npos);
    EXPECT_NE(out().find("The update was successful"), std::string::npos);

    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"%%%fw -v\n\r", 57600},          {"%%%fw -p\n\r", 57600},    {"%%%fw -p\n\r", 57600},
        {announcement('l', 2), 57600},    {announcement('h', 0), 115200},
    };
    EXPECT_EQ(linesHeard(), expected);
    ASSERT_EQ(unit_->images().size(), 2u);
    const reference_hex::Image& rx = referenceImage(2);
    EXPECT_TRUE(sameAsImage(unit_->images()[0].bytes, rx));
    EXPECT_TRUE(unit_->images()[1].checksumOk);
}

TEST_F(UpdateSequence, UnsupportedDeviceStopsBeforeAnyIdentityQuery) {
    UnitOptions options;
    options.deviceCode = 8;
    EXPECT_EQ(run(options), 0);
    EXPECT_EQ(out(), "Checking firmware version ..............  1.00.02 \r\n"
                     "Checking fpga version ..................  QV7TX 1.03  device:8\r\n"
                     "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(linesHeard().size(), 1u);
    // One read of the version reply only.
    EXPECT_EQ(endMs_ - virtual_platform::writes(kPort).back().endMs, 1000);
}

TEST_F(UpdateSequence, LateVersionPromptSpoilsTheIdentityReply) {
    // The seven fields come within the first second, their prompt only later: it is gathered in
    // front of the identity reply, so neither identity matches.
    UnitOptions options;
    options.versionPromptDelayMs = 1500;
    EXPECT_EQ(run(options), 0);
    EXPECT_NE(out().find("device:9\r\n"), std::string::npos);
    EXPECT_TRUE(endsWith(out(), "Checking product .......... FAILED\r\n")) << out();
    const auto lines = linesHeard();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].first, "%%%fw -p\n\r");
    EXPECT_EQ(lines[2].first, "%%%fw -p\n\r");
    EXPECT_TRUE(unit_->images().empty());
}

TEST_F(UpdateSequence, LateVersionFieldsFailTheProductCheck) {
    UnitOptions options;
    options.versionReplyDelayMs = 1500;
    EXPECT_EQ(run(options), 0);
    EXPECT_EQ(out(), "Checking product .......... FAILED, Unknown product\r\n");
    EXPECT_EQ(linesHeard().size(), 1u);
}

TEST_F(UpdateSequence, ReadyWithALineEndIsNotReady) {
    UnitOptions options;
    options.readyWithLineEnd = true;
    EXPECT_EQ(run(options), 0);
    EXPECT_TRUE(endsWith(out(), "Preparing to Upload Programmable Logic ............ FAILED [Unit not ready]\r\n")) << out();
    EXPECT_TRUE(unit_->images().empty());
    // The announcement's reply is gathered under the 10 s time-out: one read with the reply, one
    // empty read.
    EXPECT_EQ(endMs_ - virtual_platform::writes(kPort).back().endMs, 20000);
}

TEST_F(UpdateSequence, MicrocontrollerNotReadyAfterTheLogicUpload) {
    UnitOptions options;
    options.replyText[velmora_sim::ReplyKind::ReadyMcu] = "Busy";
    EXPECT_EQ(run(options), 0);
    EXPECT_NE(out().find("Sending Programmable Logic data ................... 1%"), std::string::npos);
    EXPECT_TRUE(endsWith(out(), "Preparing to Upload Firmware ...................... FAILED [Unit not ready]\r\n")) << out();
    EXPECT_EQ(endMs_ - virtual_platform::writes(kPort).back().endMs, 10000);
}

TEST_F(UpdateSequence, RejectedChecksumFailsTheLogicUpload) {
    UnitOptions options;
    options.rejectChecksum = true;
    EXPECT_EQ(run(options), 0);
    EXPECT_NE(out().find("\r\nExpected : SUCCESS  received : ERROR: CHECKSUM\r\n"
                         "\r\nError: Expected response did  not matched !\r\nFAILED\r\n"),
              std::string::npos);
    EXPECT_EQ(out().find("Preparing to Upload Firmware"), std::string::npos);
}

TEST_F(UpdateSequence, MissingPromptAfterRebootStillCountsAsUpdated) {
    for (const bool silentBoot : {true, false}) {
        SCOPED_TRACE(silentBoot ? "no boot text" : "boot text without prompt");
        restart();
        UnitOptions options;
        options.noBootText = silentBoot;
        options.bootWithoutPrompt = !silentBoot;
        EXPECT_EQ(run(options), 1);
        EXPECT_EQ(out().find("The update was successful"), std::string::npos);
        EXPECT_TRUE(endsWith(out(), "Please wait while the unit is rebooting ........... " + e2e::rebootCounterText()));
    }
}

TEST_F(UpdateSequence, RebootCounterShowsTheDocumentedSteps) {
    ASSERT_EQ(run(UnitOptions{}), 1) << out();
    const std::size_t start = out().find("Please wait while the unit is rebooting ........... ");
    ASSERT_NE(start, std::string::npos);
    std::vector<std::string> shown;
    std::string current;
    for (std::size_t i = start + 52; i < out().size() && out()[i] != '\n'; ++i) {
        if (out()[i] == '\b') {
            if (!current.empty()) {
                shown.push_back(current);
            }
            current.clear();
        } else {
            current += out()[i];
        }
    }
    ASSERT_EQ(shown.size(), 47u);
    const std::vector<std::string> first = {"  0%", "  2%", "  4%", "  6%", "  8%", " 10%", " 13%"};
    EXPECT_EQ(std::vector<std::string>(shown.begin(), shown.begin() + 7), first);
    EXPECT_EQ(shown[45], " 97%");
    EXPECT_EQ(shown[46], "100%");
    EXPECT_EQ(current.substr(0, 4), "100%");
}

TEST(VersionReply, ParsesSevenFieldsAndBoundsTheModelWord) {
    int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    char model[VERSION_MODEL_WORD_LENGTH + 1];
    EXPECT_EQ(parseVersionReply("1.0.2  QV7TX 1.3 9  >>", &a, &b, &c, model, &d, &e, &f), 7);
    EXPECT_EQ(a * 100 + b * 10 + c, 102);
    EXPECT_STREQ(model, "QV7TX");
    EXPECT_EQ(d * 10 + e, 13);
    EXPECT_EQ(f, 9);

    // A 40-character word keeps its first 7 characters and the fields after it still count.
    const std::string longWord(40, 'M');
    char guarded[VERSION_MODEL_WORD_LENGTH + 9];
    std::memset(guarded, 'Z', sizeof guarded);
    EXPECT_EQ(parseVersionReply(("2.1.0 " + longWord + " 4.5 9").c_str(), &a, &b, &c, guarded, &d, &e, &f), 7);
    EXPECT_STREQ(guarded, "MMMMMMM");
    EXPECT_EQ(guarded[VERSION_MODEL_WORD_LENGTH + 1], 'Z') << "nothing written past the field";
    EXPECT_EQ(f, 9);

    f = -1;
    EXPECT_LT(parseVersionReply("1.0.2 QV7TX", &a, &b, &c, model, &d, &e, &f), 7);
    EXPECT_LT(parseVersionReply("", &a, &b, &c, model, &d, &e, &f), 7);
    EXPECT_LT(parseVersionReply("garbage", &a, &b, &c, model, &d, &e, &f), 7);
    EXPECT_EQ(f, -1);
}

} // namespace
