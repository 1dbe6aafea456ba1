// Base64 in the standard alphabet ("A"-"Z", "a"-"z", "0"-"9", "+", "/") with "=" padding and no
// line breaks in the encoded text. Both directions work into a buffer the caller provides.
//
// Both functions return 0 on success and -1 on failure. dlen is in/out: on entry it holds the
// room in dst, in bytes; on success it receives the number of bytes written (for the encoder
// without the terminating zero it adds). When the room is too small, dlen receives the room
// needed and dst is left untouched. When there is nothing to convert, both return 0 and leave
// dlen as it was. Neither prints anything.
#ifndef ENCODER_H
#define ENCODER_H

#include <array>

// The 64 symbols, indexed by 6-bit value.
extern const std::array<unsigned char, 64> base64_enc_map;
// Value of each 7-bit character code: 0-63 for the symbols, 64 for "=", 127 for anything else.
extern const std::array<unsigned char, 128> base64_dec_map;

// Encodes slen bytes of src as 4 * ceil(slen / 3) characters plus a terminating zero, so dst
// needs one byte more than the text. A final group of one byte ends in "==", of two in "=".
int base64_encode(unsigned char* dst, int* dlen, const unsigned char* src, int slen);

// Decodes slen characters of src. A CR directly followed by LF is skipped, and so is every LF.
// Fails on a character outside the alphabet (a lone CR among them), on a third "=", and on a
// symbol after an "=". The room needed is (symbols * 6 + 7) / 8 bytes, counting "=" as a
// symbol. Symbols after the last complete group of four are dropped.
int base64_decode(unsigned char* dst, int* dlen, const unsigned char* src, int slen);

#endif
