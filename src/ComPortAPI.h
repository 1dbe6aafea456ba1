// Serial port access: the only module that configures, reads or writes the serial port.
//
// One port is held at a time, in module globals, with one fixed set of line settings (8N1, DTR and
// RTS raised, CTS output flow control as last switched) and one read time-out. The setters change
// the records even while no port is open, so the change takes effect at the next open.
#ifndef COM_PORT_API_H
#define COM_PORT_API_H

#include "FwUpgradeConfig.h"
#include "platform/Platform.h"

#define RX_SIZE 8192      // driver receive queue size
#define TX_SIZE 8192      // driver transmit queue size
#define MAX_WAIT_READ 500 // initial read time-outs, ms
#define BAUD_RATE 9600    // initial baud rate of the line settings

// Handle of the open port. Keeps its last value after a close or a failed open (then the
// invalid handle value). Detection stores its probe handle here too.
extern HANDLE g_hCOM;
// Line settings applied at every open and by the setters.
extern DCB g_dcb;
// Time-outs applied at every open. Reads last ReadTotalTimeoutConstant ms unless they fill.
extern COMMTIMEOUTS g_cto;

// Opens COM port nId ("\\.\COMn"), sets the driver queues, applies g_cto then g_dcb, purges the
// port and raises DTR. Prints "ERROR: Opening COM%d failed !" or "ERROR: COM%d configuration
// failed !" (no line break) and returns 0 on failure. Numbers outside 1..99999999 never open.
BOOL ComPortAPI_OpenCOM(int nId);
// Opens COM port nId into g_hCOM without configuring it, to learn whether it exists and is free.
// Prints nothing. The caller closes it with ComPortAPI_CloseCOM.
BOOL ComPortAPI_ProbeCOM(int nId);
// Closes g_hCOM. Always returns 1.
BOOL ComPortAPI_CloseCOM();
// One blocking read of at most nBytesToRead bytes; *pBytesRead gets the count (possibly 0).
BOOL ComPortAPI_ReadCOM(void* buffer, int nBytesToRead, int* pBytesRead);
// One blocking write; *pBytesWritten gets the count written.
BOOL ComPortAPI_WriteCOM(const void* buffer, int nBytesToWrite, int* pBytesWritten);
// Waits until everything written has left the driver's transmit queue, bounded like a write.
BOOL ComPortAPI_FlushCOM();
// Sets both the interval and the total read time-out, unless the interval already has the value.
BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs);
// Stores the rate in g_dcb and applies it, unless it is already the stored rate. The stored rate
// stays changed even when applying fails.
BOOL ComPortAPI_SetBaudRate(int baudrate);
// Switches CTS output flow control, unless the bit already equals isEnable.
BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable);

#endif
