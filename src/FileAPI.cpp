#include "FileAPI.h"

#include "Console.h"

std::FILE* fptr = nullptr;

namespace {

BOOL openCurrentFile(const char* fileName, const char* mode) {
    fptr = fileName != nullptr ? std::fopen(fileName, mode) : nullptr;
    if (fptr == nullptr) {
        // The same words whatever the cause: a missing folder, a protected one, a name in use.
        consolePrintLine("ERROR: File does not exists");
        return 0;
    }
    return 1;
}

void reportNoCurrentFile() {
    consolePrintLine("ERROR: File does not exists or Not opened !");
}

} // namespace

BOOL FileAPI_CreateFile(const char* fileName, BOOL isBinary) {
    return openCurrentFile(fileName, isBinary == 1 ? "wb" : "w");
}

BOOL FileAPI_OpenFile_ToWrite(const char* fileName, BOOL isBinary) {
    return openCurrentFile(fileName, isBinary == 1 ? "ab" : "a");
}

BOOL FileAPI_writeToFileBinary(const void* dataToWrite, uint32_t dataLength) {
    if (fptr == nullptr) {
        reportNoCurrentFile();
        return 0;
    }
    if (dataLength == 0) {
        return 1;
    }
    if (dataToWrite == nullptr || std::fwrite(dataToWrite, 1, dataLength, fptr) != dataLength) {
        consolePrintLine("ERROR: File write failed, the file is incomplete !");
        return 0;
    }
    return 1;
}

BOOL FileAPI_CloseFile() {
    if (fptr == nullptr) {
        reportNoCurrentFile();
        return 0;
    }
    // The stream is gone after fclose whatever it reports. A failure means buffered bytes could
    // not be stored; an error flag left by an earlier write means the same for earlier bytes.
    // The buffer is stored by fflush first: the msvcrt of Wine lets fclose report success
    // when storing the buffered bytes failed, fflush reports it.
    const bool stored = std::fflush(fptr) == 0 && std::ferror(fptr) == 0;
    const int closed = std::fclose(fptr);
    fptr = nullptr;
    if (closed != 0 || !stored) {
        consolePrintLine("ERROR: File close failed, the file is incomplete !");
        return 0;
    }
    return 1;
}
