#include "UpdateSequence.h"

#include "CommandProtocol.h"
#include "DecimalNumber.h"
#include "ComPortAPI.h"
#include "Console.h"
#include "FlatImage.h"
#include "StringOperations.h"
#include "WorkingBuffers.h"
#include "platform/Platform.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kUploadBaudRate = 115200;
constexpr int kCommandTimeoutMs = 1000;
constexpr int kLogicAnnounceTimeoutMs = 10000;
constexpr int kFirmwareAnnounceTimeoutMs = 5000;
constexpr int kBootTextTimeoutMs = 11000;

// One direct read of whatever the unit sent into gDataBuffer, zero-terminated.
int readIntoDataBuffer() {
    int nBytesRead = 0;
    ComPortAPI_ReadCOM(gDataBuffer, DATA_BUFFER_SIZE - 1, &nBytesRead);
    if (nBytesRead < 0 || nBytesRead > DATA_BUFFER_SIZE - 1) {
        nBytesRead = 0;
    }
    gDataBuffer[nBytesRead] = '\0';
    return nBytesRead;
}

// "%fw -l " or "%fw -h " followed by the checksum and the length of the image just flattened.
void buildAnnouncement(char* commandToSend, std::size_t size, const char* prefix) {
    std::snprintf(commandToSend, size, "%s%u %d", prefix, gDataConcatenatedCheckSum, gDataConcatenatedLenght);
}

// One upload: flatten the hex text, announce the image with its checksum and length under
// announceTimeoutMs, and once the unit is "Ready" stream it at 115200 and expect "SUCCESS".
// Prints the status lines and the reason of a failure; the caller prints what follows a success.
BOOL uploadImage(char* hexText, const char* invalidMessage, const char* prepareLabel,
                 const char* announcePrefix, int announceTimeoutMs, const char* sendLabel) {
    char commandToSend[100];
    if (!ValidateFwAndConcatenateData(hexText)) {
        consolePrintLine("%s", invalidMessage);
        return 0;
    }
    consolePrint("%s", prepareLabel);
    computeImageCheckSum();
    buildAnnouncement(commandToSend, sizeof commandToSend, announcePrefix);
    ComPortAPI_SetReadingTimeoutInMs(announceTimeoutMs);
    if (!sendCommand(commandToSend, 0, 1, "Ready")) {
        consolePrintLine("FAILED [Unit not ready]\r");
        return 0;
    }
    consolePrintLine("OK\r");
    consolePrint("%s", sendLabel);
    ComPortAPI_SetBaudRate(kUploadBaudRate);
    ComPortAPI_SetReadingTimeoutInMs(kCommandTimeoutMs);
    if (!sendData(gDataConcatenated, gDataConcatenatedLenght, 1, "SUCCESS")) {
        consolePrintLine("FAILED\r");
        return 0;
    }
    return 1;
}

// Reads a decimal number at p as scanf's %d would (see DecimalNumber.h) and moves p past it.
bool readDecimal(const char*& p, int* value) {
    const char* q = p;
    auto next = [&q]() { return *q != '\0' ? static_cast<unsigned char>(*q++) : -1; };
    auto unread = [&q](int) { --q; };
    if (readDecimalNumber(next, unread, value) != 1) {
        return false;
    }
    p = q;
    return true;
}

// "%d.%d" then " %d", as scanf reads them: the fields assigned before the first that fails.
int readFields(const char*& p, int* first, int* second, int* third) {
    if (!readDecimal(p, first)) {
        return 0;
    }
    if (*p != '.') {
        return 1;
    }
    ++p;
    if (!readDecimal(p, second)) {
        return 1;
    }
    if (third == nullptr) {
        return 2;
    }
    return readDecimal(p, third) ? 3 : 2;
}

} // namespace

BOOL gUnitReturnSeen = 0;

int parseVersionReply(const char* text, int* fw_ver, int* fw_rev, int* fw_sub, char* model, int* fpga_ver,
                      int* fpga_rev, int* fpga_type) {
    // "%d.%d.%d %s %d.%d %d", field by field.
    const char* p = text;
    if (readFields(p, fw_ver, fw_rev, nullptr) != 2 || *p != '.') {
        return 0; // fewer than three fields; the exact count does not matter to the caller
    }
    ++p;
    if (!readDecimal(p, fw_sub)) {
        return 0;
    }
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    // The model word runs to the next white space, however long it is; only its start is kept.
    const char* word = p;
    std::size_t wordLength = 0;
    while (word[wordLength] != '\0' && !std::isspace(static_cast<unsigned char>(word[wordLength]))) {
        ++wordLength;
    }
    if (wordLength == 0) {
        return 3;
    }
    const std::size_t kept = wordLength < VERSION_MODEL_WORD_LENGTH ? wordLength : VERSION_MODEL_WORD_LENGTH;
    std::memcpy(model, word, kept);
    model[kept] = '\0';
    const char* rest = word + wordLength;
    return 4 + readFields(rest, fpga_ver, fpga_rev, fpga_type);
}

BOOL updateFirmware() {
    int fw_ver = 0, fw_rev = 0, fw_sub = 0;
    int fpga_ver = 0, fpga_rev = 0;
    int fpga_type = -1;
    char model[VERSION_MODEL_WORD_LENGTH + 1] = {0};
    int page_idx = 0;
    gUnitReturnSeen = 0;

    // Version query: only what arrives within this one read is parsed.
    ComPortAPI_SetReadingTimeoutInMs(kCommandTimeoutMs);
    sendCommand("%fw -v", 0, 0, nullptr);
    readIntoDataBuffer();
    StrRemoveNL(gDataBuffer, ' ');
    if (parseVersionReply(gDataBuffer, &fw_ver, &fw_rev, &fw_sub, model, &fpga_ver, &fpga_rev, &fpga_type) ==
        7) {
        consolePrint("Checking firmware version ..............  %d.%02d.%02d \r\n", fw_ver, fw_rev, fw_sub);
        consolePrint("Checking fpga version ..................  %s %d.%02d  device:%d\r\n", model, fpga_ver,
                     fpga_rev, fpga_type);
    }

    // Product check: the programmable logic must be the XC7A15, then the identity picks TX or RX.
    consolePrint("Checking product .......... ");
    if (fpga_type != DEVICE_XC7A15_484) {
        consolePrintLine("FAILED, Unknown product\r");
        return 0;
    }
    if (sendCommand("%fw -p", 0, 1, VALIDATE_TX_PRODUCT_ID_STRING)) {
        consolePrintLine("TX OK\r");
        consolePrint("%s", VALIDATE_TX_PRODUCT_ID_STRING);
        consolePrintLine("\r");
        page_idx = IMAGE_INDEX_FPGA_TX;
    } else if (sendCommand("%fw -p", 0, 1, VALIDATE_RX_PRODUCT_ID_STRING)) {
        consolePrintLine("RX OK\r");
        consolePrint("%s", VALIDATE_RX_PRODUCT_ID_STRING);
        consolePrintLine("\r");
        page_idx = IMAGE_INDEX_FPGA_RX;
    } else {
        consolePrintLine("FAILED\r");
        return 0;
    }

    std::free(gHexFPGA_Code);
    gHexFPGA_Code = WorkingBuffers_CopyImageText(page_idx);
    if (gHexFPGA_Code == nullptr) {
        consolePrintLine("\r\nERROR: Not enough memory for the Programmable Logic data !\r");
        return 0;
    }

    // Programmable-logic upload at the unit's rate, then the microcontroller image, announced at
    // 115200 where the unit now listens.
    if (!uploadImage(gHexFPGA_Code, "\r\nERROR: Programmable Logic data is not valid !\r",
                     "Preparing to Upload Programmable Logic ............ ", "%fw -l ",
                     kLogicAnnounceTimeoutMs, "Sending Programmable Logic data ................... ")) {
        return 0;
    }
    consolePrintLine("OK\r");
    if (!uploadImage(gHexFirmware, "\r\nERROR: uC Firmware data is not valid !\r",
                     "Preparing to Upload Firmware ...................... ", "%fw -h ",
                     kFirmwareAnnounceTimeoutMs, "Sending data ...................................... ")) {
        return 0;
    }

    // Reboot wait: the unit comes back at its own rate and prints its boot text.
    ComPortAPI_SetBaudRate(gBaudRate);
    consolePrint(" OK\n\r\n\r");
    consolePrint("Please wait while the unit is rebooting ........... ");
    const int max_cnt = REBOOT_STEPS;
    for (int i = 0; i < max_cnt; ++i) {
        consolePrint("%3d%%", i * 100 / max_cnt);
        Platform_SleepMs(REBOOT_STEP_MS);
        consolePrint("\b\b\b\b");
    }
    consolePrint("%3d%%", 100);
    readIntoDataBuffer(); // drains what the unit printed so far
    ComPortAPI_SetReadingTimeoutInMs(kBootTextTimeoutMs);
    const int nBytesRead = readIntoDataBuffer();
    consolePrint("\b\b\b\b");
    consolePrint("100%%");
    // Judged on the text as received: the prompt must close it, so a zero byte cuts nothing short.
    if (nBytesRead >= 2 && gDataBuffer[0] == '[' && gDataBuffer[nBytesRead - 2] == '>' &&
        gDataBuffer[nBytesRead - 1] == '>') {
        consolePrintLine("\n\r\n\rThe update was successful, the unit is now operational\r");
        gUnitReturnSeen = 1;
    }
    return 1;
}
