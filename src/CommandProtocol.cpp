#include "CommandProtocol.h"

#include "ComPortAPI.h"
#include "Console.h"
#include "WorkingBuffers.h"

#include <array>
#include <cstring>

namespace {

// Largest read: gDataBuffer always keeps room for the zero that follows the bytes received.
constexpr int kMaxRead = DATA_BUFFER_SIZE - 1;

// The reply of one exchange. It lives here rather than on the stack (it is as large as
// gDataBuffer) and holds at most DATA_BUFFER_SIZE - 1 bytes; what arrives beyond that is
// still read off the line but only marks the reply as too long.
std::array<char, DATA_BUFFER_SIZE> responseReceivedCopy;
int totalBytesRead = 0;
bool responseTooLong = false;

// Reads until a read brings nothing, appending every byte received to responseReceivedCopy.
void gatherResponse() {
    totalBytesRead = 0;
    responseTooLong = false;
    for (;;) {
        int nBytesRead = 0;
        ComPortAPI_ReadCOM(gDataBuffer, kMaxRead, &nBytesRead); // a failed read counts as silence
        if (nBytesRead <= 0) {
            break;
        }
        gDataBuffer[nBytesRead] = '\0';
        const int room = kMaxRead - totalBytesRead;
        const int kept = nBytesRead < room ? nBytesRead : room;
        std::memcpy(responseReceivedCopy.data() + totalBytesRead, gDataBuffer,
                    static_cast<std::size_t>(kept));
        totalBytesRead += kept;
        responseTooLong = responseTooLong || kept < nBytesRead;
    }
    responseReceivedCopy[static_cast<std::size_t>(totalBytesRead)] = '\0';
}

bool responseMatches(const char* expectedResponse) {
    const std::size_t expectedLength = std::strlen(expectedResponse);
    return !responseTooLong && static_cast<std::size_t>(totalBytesRead) == expectedLength &&
           std::memcmp(responseReceivedCopy.data(), expectedResponse, expectedLength) == 0;
}

// Removes the previous percentage from the console line: "1%" to "9%" take two backspaces,
// "10%" to "99%" three, and "100%" is never followed by another one.
void erasePercentage(int percentage) {
    if (percentage <= 9) {
        consolePrint("\b\b");
    } else if (percentage <= 99) {
        consolePrint("\b\b\b");
    }
}

} // namespace

BOOL sendCommand(const char* commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char* expectedResponse) {
    // The line: "%%" (unless echo is on), the command text and "\n\r", without a terminating zero.
    const std::size_t textLength = std::strlen(commandToSend);
    const std::size_t prefixLength = isEchoON == 1 ? 0 : 2;
    const std::size_t lineLength = prefixLength + textLength + 2;
    int nBytesWritten = 0;
    BOOL written = 0;
    if (lineLength <= DATA_BUFFER_SIZE) {
        std::memcpy(gDataBuffer, "%%", prefixLength);
        std::memcpy(gDataBuffer + prefixLength, commandToSend, textLength);
        std::memcpy(gDataBuffer + prefixLength + textLength, "\n\r", 2);
        written = ComPortAPI_WriteCOM(gDataBuffer, static_cast<int>(lineLength), &nBytesWritten);
    }
    if (!written || nBytesWritten != static_cast<int>(lineLength)) {
        consolePrintLine("\r\nError occurred when sending data !\r");
        return 0;
    }
    if (expectedResponse == nullptr) {
        return 1;
    }
    gatherResponse();
    if (validateResponse == 1 && !responseMatches(expectedResponse)) {
        return 0;
    }
    return 1;
}

BOOL sendData(const uint8_t* dataToSend, int dataToSendLength, BOOL validateResponse,
              const char* expectedResponse) {
    int dataSent = 0;
    int percentage = 0;
    int nBytesWritten = 0;
    consolePrint("1%%");
    while (dataSent < dataToSendLength) {
        const int remaining = dataToSendLength - dataSent;
        // The write has no time-out of its own: it returns when the driver has taken every byte,
        // held back by CTS as the unit asks, or fails when CTS never comes back.
        const uint8_t* piece = dataToSend + dataSent;
        if (remaining > DATA_PIECE_SIZE) {
            if (!ComPortAPI_WriteCOM(piece, DATA_PIECE_SIZE, &nBytesWritten) ||
                nBytesWritten != DATA_PIECE_SIZE) {
                return 0;
            }
            dataSent += DATA_PIECE_SIZE;
            erasePercentage(percentage);
            percentage = static_cast<int>(static_cast<int64_t>(dataSent) * 100 / dataToSendLength);
            consolePrint("%d%%", percentage);
            continue;
        }
        // The reply window opens when the image has left the PC, not when the driver took the
        // last piece: a driver may still hold more than the window's second of line time.
        if (!ComPortAPI_WriteCOM(piece, remaining, &nBytesWritten) || nBytesWritten != remaining ||
            !ComPortAPI_FlushCOM()) {
            return 0;
        }
        erasePercentage(percentage);
        consolePrint("100%%");
        dataSent = dataToSendLength;
        if (expectedResponse == nullptr) {
            return 1;
        }
        gatherResponse();
        if (validateResponse != 1) {
            return 1;
        }
        if (responseMatches(expectedResponse)) {
            return 1;
        }
        // Everything received is shown, zero bytes included, so a mismatch is never hidden.
        consolePrint("\r\nExpected : %s  received : ", expectedResponse);
        consoleWrite(responseReceivedCopy.data(), static_cast<std::size_t>(totalBytesRead));
        consolePrint("\r\n");
        consolePrintLine("\r\nError: Expected response did  not matched !\r");
        return 0;
    }
    return 1;
}
