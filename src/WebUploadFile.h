// The web upload file: the microcontroller image packaged for upload through the unit's web
// page instead of the serial link.
//
// "FwToUpload.bin", written in binary mode in the working directory:
//   "KovLar" CR LF, "627184" CR LF, the firmware version CR LF, the image checksum ("%u") CR LF,
//   the image length CR LF, then the Base64 text of the image with its final "=" padding
//   replaced by "A", in lines of FIRMWARE_CHUNCK_SIZE_FOR_WEB characters separated by CR LF
//   (none after the last line). An empty image has no body.
#ifndef WEB_UPLOAD_FILE_H
#define WEB_UPLOAD_FILE_H

#include "FwUpgradeConfig.h"

#define FIRMWARE_FILE_NAME_FOR_WEB "FwToUpload.bin"
// Room for the Base64 text and its terminator; it limits the image to 460,797 bytes.
#define FIRMWARE_BASE64_BUFFER_SIZE_FOR_WEB 614400

// Flattens gHexFirmware (the working buffers must be set up, and the text not yet flattened)
// and writes the upload file, then waits for a key. Returns 1 when the file was written whole;
// 0 when the text is not valid (no file is touched), when the Base64 text does not fit (only
// the header is written), or when any file operation failed.
BOOL createFirmwareFileForWeb();

#endif
