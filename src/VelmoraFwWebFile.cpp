// Writes "FwToUpload.bin", the microcontroller firmware packaged for upload through the unit's
// web page, in the working directory. It touches no serial port and takes no arguments.
//
// Exit status: 0 when the file was written whole, 1 when it was not (invalid firmware text,
// Base64 text too long, or a file error), 2 when the working buffers could not be allocated.
#include "Console.h"
#include "FwUpgradeConfig.h"
#include "WebUploadFile.h"
#include "WorkingBuffers.h"

namespace {
constexpr int kExitFileWritten = 0;
constexpr int kExitFileNotWritten = 1;
} // namespace

int main() {
    // The same buffers as the update tool, set up the same way; the writer flattens the
    // microcontroller text they hold, so it runs instead of an update, never after one.
    if (!WorkingBuffers_Setup()) {
        return EXIT_OUT_OF_MEMORY;
    }
    consolePrint("\n\rWriting %s for the web upload of firmware version %s\n\r", FIRMWARE_FILE_NAME_FOR_WEB,
                 FIRMWARE_VERSION_TO_UPLOAD);
    const BOOL written = createFirmwareFileForWeb();
    WorkingBuffers_Release();
    return written ? kExitFileWritten : kExitFileNotWritten;
}
