// Output to one file at a time, for the web upload file. The module keeps a single current file;
// every open replaces it without closing the one before, so close the current file first.
#ifndef FILE_API_H
#define FILE_API_H

#include "FwUpgradeConfig.h"

#include <cstdint>
#include <cstdio>

// The current file; null when none is open.
extern std::FILE* fptr;

// Creates or truncates fileName ("wb" when isBinary is 1, else "w") and makes it current.
// When it cannot be opened, no file is current, "ERROR: File does not exists" is printed and
// the result is 0.
BOOL FileAPI_CreateFile(const char* fileName, BOOL isBinary);

// Opens fileName for appending ("ab" when isBinary is 1, else "a"), otherwise like
// FileAPI_CreateFile.
BOOL FileAPI_OpenFile_ToWrite(const char* fileName, BOOL isBinary);

// Writes dataLength bytes to the current file. Returns 0 with a printed error line when no file
// is current or when fewer bytes than asked went out (a full disk, for instance).
BOOL FileAPI_writeToFileBinary(const void* dataToWrite, uint32_t dataLength);

// Closes the current file; afterwards none is current. Returns 0 with a printed error line when
// no file was current, or when the close failed (buffered bytes that could not be stored).
BOOL FileAPI_CloseFile();

#endif
