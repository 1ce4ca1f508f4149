/* Output on the first serial port, which the loader has already programmed. */
#ifndef KTEST_SERIAL_H
#define KTEST_SERIAL_H

#include <stddef.h>
#include <stdint.h>

void serial_write_char(char c);
void serial_write(const char* text);
/* "0x" and lower-case digits without leading zeros ("0x0" for zero). */
void serial_write_hex(uint64_t value);
/* Exactly `digits` lower-case hexadecimal digits, no prefix. */
void serial_write_hex_digits(uint64_t value, unsigned digits);
void serial_write_dec(uint64_t value);

#endif
