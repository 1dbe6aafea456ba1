// Intel HEX records held as text: one zero-terminated record line that starts with ':'
// and carries no line break.
//
//   position 0      ':'
//   position 1..2   data length L
//   position 3..6   16-bit address, high byte first
//   position 7..8   record type
//   position 9..    L data bytes, two characters each
//   last two        checksum (two's complement of the byte sum)
#ifndef INTEL_HEX_H
#define INTEL_HEX_H

#include <cstddef>
#include <cstdint>

#define INTEL_HEX_RECORD_DATA 0
#define INTEL_HEX_RECORD_EOF 1
#define INTEL_HEX_RECORD_EXTENDED_SEGMENT_ADDRESS 2
#define INTEL_HEX_RECORD_START_SEGMENT_ADDRESS 3
#define INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS 4
#define INTEL_HEX_RECORD_START_LINEAR_ADDRESS 5

#define INTEL_HEX_STRING_OK 1
#define INTEL_HEX_STRING_INVALID 0

// Shortest record line: ':' + length + address + type + checksum.
#define INTEL_HEX_MIN_LINE_LENGTH 11

// 0 minus the sum of numberOfBytes bytes read as hexadecimal pairs, modulo 256.
uint8_t u8_checksum_from_hex_string(char* hexString, uint8_t numberOfBytes);

uint8_t intel_hex_start_code_present(char* intelHexString);
uint8_t intel_hex_line_data_length(char* intelHexString);
// 0 when the line is not valid.
uint16_t intel_hex_line_address(char* intelHexString);
// Only the second character of the type field is looked at.
uint8_t intel_hex_line_record_type(char* intelHexString);
uint8_t intel_hex_line_is_data_record(char* intelHexString);
uint8_t intel_hex_line_is_extended_linear_address_record(char* intelHexString);
// Start code present, line long enough for its own length field, and the checksum formed by
// the line's last two characters matches the bytes it covers.
uint8_t intel_hex_line_is_valid(char* intelHexString);
// The same for a line whose length the caller already knows (strlen(intelHexString)), so that
// a reader going through many records does not measure each one twice.
uint8_t intel_hex_line_is_valid_with_length(char* intelHexString, std::size_t lineLength);
// Room for every byte a record line carries before its checksum: length, address, type, data.
#define INTEL_HEX_MAX_RECORD_BYTES (4 + 255)
// The validity test of intel_hex_line_is_valid_with_length, reading each byte once: when the
// line is valid, recordBytes[0 .. 4 + L) receive its length, address (high byte first), type
// and data bytes, so that a reader has no second pass over the digits. recordBytes needs
// INTEL_HEX_MAX_RECORD_BYTES of room; its content is unspecified for an invalid line.
uint8_t intel_hex_line_decode_valid(char* intelHexString, std::size_t lineLength, uint8_t* recordBytes);
// The L data bytes of a valid line in a newly allocated array (caller frees with free()),
// or null when the line is not valid.
uint8_t* new_u8_data_array_from_intel_hex_string(char* intelHexString);

#endif
