// The update itself, run once the port is open at the chosen rate with CTS flow control on:
// version and device check, TX/RX identification, programmable-logic upload, microcontroller
// upload, reboot wait and final verdict.
#ifndef UPDATE_SEQUENCE_H
#define UPDATE_SEQUENCE_H

#include "FwUpgradeConfig.h"

// The model word of the version reply keeps at most this many characters.
#define VERSION_MODEL_WORD_LENGTH 7
// Reboot wait: this many steps of REBOOT_STEP_MS each.
#define REBOOT_STEPS 46
#define REBOOT_STEP_MS 3000

// Returns 1 once the microcontroller image has been accepted with "SUCCESS" (whether or not the
// unit's prompt comes back after the reboot: gUnitReturnSeen tells), 0 at the first earlier
// failure, after printing why.
// Leaves the port open; allocates gHexFPGA_Code, which the caller frees.
BOOL updateFirmware();

// Whether the last updateFirmware saw the unit come back after its reboot: a boot text that
// starts with "[" and ends with its ">>" prompt. 0 until then, and after any failure.
extern BOOL gUnitReturnSeen;

// Reads the version reply text: "%d.%d.%d %s %d.%d %d" with the model word cut to its first
// VERSION_MODEL_WORD_LENGTH characters. Returns how many of the seven fields were read.
int parseVersionReply(const char* text, int* fw_ver, int* fw_rev, int* fw_sub, char* model, int* fpga_ver,
                      int* fpga_rev, int* fpga_type);

#endif
