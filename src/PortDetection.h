// Finds the serial port and baud rate at which a unit answers, without asking the user.
#ifndef PORT_DETECTION_H
#define PORT_DETECTION_H

#include "FwUpgradeConfig.h"

// Walks COM1 to COM32. For each port that can be opened it tries 115200, 9600, 57600, 4800, 2400
// and 1200 baud, asking the unit's help for the "version" command up to twice at each rate.
// On 1 the port gComPortNumber is open at gBaudRate, which the line settings hold. On 0 no port
// is left open; gComPortNumber and gBaudRate tell the last port and rate the walk got to.
BOOL detectComPortAndBaudrate();

#endif
