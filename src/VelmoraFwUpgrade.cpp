// VelmoraFwUpgrade: updates the firmware of one Kovlar QV7 unit (TX or RX) over a serial port.
//
// The entry sets up the working buffers, finds the unit (or asks for its port and baud rate),
// runs the update and reports the verdict, then waits for a key so the console window stays open.
//
// Exit status: 0 the update succeeded, 1 it was attempted and failed, -1 (255 in a shell) the
// port or baud rate entered by hand could not be used, 2 not enough memory, 3 both images were
// accepted but the unit's prompt was not seen after the reboot (the unit must be checked).
#include "ComPortAPI.h"
#include "Console.h"
#include "FwUpgradeConfig.h"
#include "PortDetection.h"
#include "UpdateSequence.h"
#include "WorkingBuffers.h"
#include "platform/Platform.h"

namespace {

// Reads a number typed at a prompt. Non-numeric input and end of input leave the value as it was.
void readNumberInto(int32_t& global) {
    int value = 0;
    if (Platform_ConsoleReadInt(&value) == 1) {
        global = value;
    }
}

} // namespace

// Shows the last message and holds the console window open until a key is pressed.
void dipsplayLastMessageToUserBeforeExit(const char* lastMessage) {
    consolePrint("%s", lastMessage);
    consolePrint("\r\nPress any key to exit");
    Platform_GetKey();
}

int main() {
    if (!WorkingBuffers_Setup()) {
        return EXIT_OUT_OF_MEMORY;
    }

    consolePrint("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
    consolePrint("\n\r\n\rDetecting COM port and Baud Rate..................");
    // No port is open yet: this only sets the line settings the next open applies.
    ComPortAPI_SetHardwareFlowControl(0);

    if (detectComPortAndBaudrate()) {
        consolePrintLine("OK\r");
        consolePrint("COM PORT Number : %d", gComPortNumber);
        consolePrint("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
    } else {
        consolePrint("FAILED");
        consolePrint("\n\r\n\rEnter the COM port number : ");
        readNumberInto(gComPortNumber);
        consolePrint("\r\nOpening COM%d....................", gComPortNumber);
        if (!ComPortAPI_OpenCOM(gComPortNumber)) {
            dipsplayLastMessageToUserBeforeExit("");
            return EXIT_PORT_OR_BAUD_FAILED;
        }
        consolePrintLine("OK\r");
        consolePrint("\n\r\n\rEnter the BAUD RATE       : ");
        readNumberInto(gBaudRate);
        consolePrint("\r\nSetting baud rate at %d..........", gBaudRate);
        if (!ComPortAPI_SetBaudRate(gBaudRate)) {
            ComPortAPI_CloseCOM();
            dipsplayLastMessageToUserBeforeExit("");
            return EXIT_PORT_OR_BAUD_FAILED;
        }
        consolePrintLine("OK\r");
    }

    ComPortAPI_SetHardwareFlowControl(1);
    const BOOL updated = updateFirmware();
    ComPortAPI_CloseCOM();
    dipsplayLastMessageToUserBeforeExit(updated ? "" : "\n\rERROR: The update was not successful.\r\n");
    WorkingBuffers_Release();
    if (!updated) {
        return EXIT_UPDATE_FAILED;
    }
    return gUnitReturnSeen ? EXIT_UPDATE_SUCCEEDED : EXIT_UNIT_RETURN_NOT_SEEN;
}
