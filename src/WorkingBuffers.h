// The program-wide working buffers. The entry of each executable sets them up before anything
// else runs and releases them at its normal exit; every other module borrows them.
#ifndef WORKING_BUFFERS_H
#define WORKING_BUFFERS_H

#include "FwUpgradeConfig.h"

#include <cstdint>

// Outgoing command line and landing area of every serial read (DATA_BUFFER_SIZE bytes).
extern char* gDataBuffer;
// The flat image: CONCAT_BUFFER_SIZE bytes of image followed by CONCAT_BUFFER_GUARD zero bytes.
extern uint8_t* gDataConcatenated;
// How many bytes of gDataConcatenated, counted from offset 0, make up the image.
extern int32_t gDataConcatenatedLenght;
// Two's complement, modulo 2^32, of the byte sum of the image.
extern uint32_t gDataConcatenatedCheckSum;
// Writable, zero-terminated working copy of the microcontroller hex text.
extern char* gHexFirmware;
// Writable, zero-terminated working copy of the selected programmable-logic hex text.
extern char* gHexFPGA_Code;
// The chosen serial port number and baud rate.
extern int32_t gComPortNumber;
extern int32_t gBaudRate;

// Allocates and fills gHexFirmware, gDataConcatenated and gDataBuffer, in that order.
// On an allocation failure it prints an error line, releases what it got and returns 0.
BOOL WorkingBuffers_Setup();

// Frees gDataBuffer, gDataConcatenated, gHexFirmware and gHexFPGA_Code, in that order,
// clearing each global.
void WorkingBuffers_Release();

// Copies the embedded hex text of AUTOGEN_FILES[index] into a new buffer of its length + 16
// bytes, zero-filled first, so the copy is writable and zero-terminated. Null when the index is
// out of range or memory runs out. The caller frees it with free().
char* WorkingBuffers_CopyImageText(int index);

#endif
