#include "serial.h"

#include "cpu.h"

enum {
    COM1_DATA = 0x3f8,
    COM1_LINE_STATUS = 0x3fd,
    LINE_STATUS_TRANSMIT_EMPTY = 0x20,
    /* A port that never reports ready costs this many polls per byte, then
       the byte is sent anyway: output must never hang the kernel. */
    TRANSMIT_POLL_LIMIT = 100000,
};

void serial_write_char(char c) {
    for (unsigned polls = 0; polls < TRANSMIT_POLL_LIMIT; polls++) {
        if (port_read8(COM1_LINE_STATUS) & LINE_STATUS_TRANSMIT_EMPTY) {
            break;
        }
    }
    port_write8(COM1_DATA, (uint8_t)c);
}

void serial_write(const char* text) {
    while (*text) {
        serial_write_char(*text++);
    }
}

static const char hex_digits[] = "0123456789abcdef";

void serial_write_hex_digits(uint64_t value, unsigned digits) {
    while (digits > 0) {
        digits--;
        serial_write_char(hex_digits[(value >> (4 * digits)) & 0xf]);
    }
}

void serial_write_hex(uint64_t value) {
    unsigned digits = 1;
    while (digits < 16 && (value >> (4 * digits)) != 0) {
        digits++;
    }
    serial_write("0x");
    serial_write_hex_digits(value, digits);
}

void serial_write_dec(uint64_t value) {
    char text[21];
    size_t at = sizeof(text);
    text[--at] = '\0';
    do {
        text[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    serial_write(&text[at]);
}
