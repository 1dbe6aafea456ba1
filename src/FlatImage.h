// Flattening of an Intel HEX text into the 4 MiB flat image, and the image checksum that the
// upload announcements carry.
#ifndef FLAT_IMAGE_H
#define FLAT_IMAGE_H

#include "FwUpgradeConfig.h"

// Flattens the zero-terminated hex text gHexData (cut apart in place, so flatten each working
// copy once) into gDataConcatenated and sets gDataConcatenatedLenght to the offset just past the
// highest data byte stored. Returns 1 when every record is valid, 0 at the first invalid record.
BOOL ValidateFwAndConcatenateData(char* gHexData);

// Sets gDataConcatenatedCheckSum to 0 minus the sum of image bytes 0 to length - 1 (mod 2^32).
void computeImageCheckSum();

#endif
