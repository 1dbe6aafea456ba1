// Build-time constants of the firmware upgrade tool. Nothing here is read at run time:
// the values are fixed when the tool is built.
#ifndef FWUPGRADE_CONFIG_H
#define FWUPGRADE_CONFIG_H

#include <cstdint>

// Truth value used throughout the tool: 1 means success or match, 0 failure or mismatch.
// Identical to the Win32 typedef, so both may be seen in one translation unit.
typedef int BOOL;

#define FIRMWARE_VERSION_TO_UPLOAD "1.0.3"
#define DATA_BUFFER_SIZE (1024 * 1000)
#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)
// Bytes after the flat image that start as zero and are never filled.
#define CONCAT_BUFFER_GUARD 16

#define VALIDATE_TX_PRODUCT_ID_STRING "Kovlar QV7 SIGNAL LINK TX WITH ETHERNET\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Kovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>"
#define FIRMWARE_FILE_HEADER_FOR_WEB "KovLar\r\n627184\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928

// FPGA device codes, as the unit reports them in its version reply.
#define DEVICE_NONE 0
#define DEVICE_XC7A35_484 1
#define DEVICE_XC7A50_484 2
#define DEVICE_XC7A75_484 3
#define DEVICE_XC7A100_484 4
#define DEVICE_XC7A200_S484 5
#define DEVICE_XC7A200_F484 6
#define DEVICE_XC7A75_676 7
#define DEVICE_XC7A100_676 8
#define DEVICE_XC7A15_484 9

// Indices into AUTOGEN_FILES.
#define IMAGE_INDEX_MCU 0
#define IMAGE_INDEX_FPGA_TX 1
#define IMAGE_INDEX_FPGA_RX 2

// Process exit statuses of the update tool.
#define EXIT_UPDATE_SUCCEEDED 0
#define EXIT_UPDATE_FAILED 1
#define EXIT_PORT_OR_BAUD_FAILED (-1)
#define EXIT_OUT_OF_MEMORY 2
// Both images were accepted, but the unit's prompt did not come back after the reboot.
#define EXIT_UNIT_RETURN_NOT_SEEN 3

#endif
