// The unit's command protocol: framed text commands with exact reply checking, and the raw
// bulk transfer of an image with a live percentage.
//
// A command goes out as one line: "%%", the command text, then "\n\r" (the two percent signs are
// left out when isEchoON is 1). A reply is gathered by reads into gDataBuffer until a read brings
// nothing, so it ends one to two read time-outs after the unit's last byte. The reply is compared
// with the expected text byte for byte over everything received: a zero byte inside a reply is
// part of it, and a reply longer than the accumulator (DATA_BUFFER_SIZE - 1 bytes) never matches.
#ifndef COMMAND_PROTOCOL_H
#define COMMAND_PROTOCOL_H

#include "FwUpgradeConfig.h"

#include <cstdint>

// Bytes written per piece by sendData.
#define DATA_PIECE_SIZE 10240

// Sends one command. With a null expectedResponse it returns 1 right after the write and reads
// nothing. Otherwise it gathers the reply; with validateResponse 1 the result is whether the
// reply equals expectedResponse exactly. A failed write prints
// "\r\nError occurred when sending data !\r" as a line and returns 0.
BOOL sendCommand(const char* commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char* expectedResponse);

// Streams dataToSendLength bytes in pieces of DATA_PIECE_SIZE, printing the percentage done in
// place, waits until the last piece has left the driver's queue, then gathers and checks the
// closing reply as sendCommand does. A failed write (or a queue that does not empty within the
// write's bound) returns 0 and prints nothing more; a mismatch prints both texts and an error line.
BOOL sendData(const uint8_t* dataToSend, int dataToSendLength, BOOL validateResponse,
              const char* expectedResponse);

#endif
