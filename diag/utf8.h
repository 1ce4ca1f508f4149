// UTF-8 to UCS-2 for the firmware's text consoles, which take 16-bit units.
#pragma once

#include <stdint.h>

// Converts `length` bytes of UTF-8 into at most `capacity` UCS-2 units and
// returns the number written. Code points above U+FFFF become surrogate pairs.
// The whole input is validated first: overlong forms, encoded surrogates,
// values above U+10FFFF, stray continuation bytes and truncated sequences make
// it invalid, and invalid input converts to nothing (0 units). Input that does
// not fit is cut after the last code point that fits whole, so a surrogate
// pair is never split.
// True when the bytes are well-formed UTF-8 by the rules above.
bool utf8_valid(const char* bytes, uint64_t length);

uint64_t utf8_to_ucs2(const char* bytes, uint64_t length, uint16_t* out, uint64_t capacity);
