// The two number forms of the log: "0x" and lower-case hexadecimal digits, and
// unsigned decimal, both without leading zeros.
#pragma once

#include <stdint.h>

constexpr uint64_t kHexTextCapacity = 18;     // "0x" and 16 digits
constexpr uint64_t kDecimalTextCapacity = 20; // 18446744073709551615

// Each writes the text into `out` and returns its length.
uint64_t format_hex(uint64_t value, char (&out)[kHexTextCapacity]);
uint64_t format_decimal(uint64_t value, char (&out)[kDecimalTextCapacity]);
