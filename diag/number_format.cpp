#include "diag/number_format.h"

uint64_t format_hex(uint64_t value, char (&out)[kHexTextCapacity]) {
    constexpr char kDigits[] = "0123456789abcdef";
    uint64_t length = 0;
    out[length++] = '0';
    out[length++] = 'x';
    bool seen_nonzero = false;
    for (int shift = 60; shift >= 0; shift -= 4) {
        const uint64_t nibble = (value >> shift) & 0xf;
        seen_nonzero = seen_nonzero || nibble != 0;
        if (seen_nonzero || shift == 0) {
            out[length++] = kDigits[nibble];
        }
    }
    return length;
}

uint64_t format_decimal(uint64_t value, char (&out)[kDecimalTextCapacity]) {
    if (value == 0) {
        out[0] = '0';
        return 1;
    }
    char reversed[kDecimalTextCapacity];
    uint64_t count = 0;
    for (; value != 0; value /= 10) {
        reversed[count++] = static_cast<char>('0' + value % 10);
    }
    for (uint64_t i = 0; i < count; ++i) {
        out[i] = reversed[count - 1 - i];
    }
    return count;
}
