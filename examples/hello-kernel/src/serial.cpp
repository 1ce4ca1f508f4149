#include "serial.h"

#include "cpu.h"

namespace {

constexpr uint16_t kCom1Data = 0x3f8;
constexpr uint16_t kCom1LineStatus = 0x3fd;
constexpr uint8_t kTransmitterEmpty = 0x20;
// A port that never reports ready (no UART behind it) costs this many polls
// per byte, then the byte is written anyway: output must never hang the kernel.
constexpr unsigned kPollLimit = 100000;

unsigned line_position = 0;

void put_char(char c) {
    for (unsigned polls = 0; polls < kPollLimit; ++polls) {
        if (cpu::port_read8(kCom1LineStatus) & kTransmitterEmpty) {
            break;
        }
    }
    cpu::port_write8(kCom1Data, static_cast<uint8_t>(c));
    line_position = (c == '\n' || c == '\r') ? 0 : line_position + 1;
}

// Writes the digits of `value` in `base` just before `end`; returns the first.
char* format_digits(uint64_t value, unsigned base, char* end) {
    char* at = end;
    do {
        *--at = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    return at;
}

} // namespace

void put(const char* text) {
    while (*text != '\0') {
        put_char(*text++);
    }
}

void put(uint64_t value) {
    char buffer[24];
    char* end = buffer + sizeof(buffer) - 1;
    *end = '\0';
    put(format_digits(value, 10, end));
}

void put(Hex hex) {
    char buffer[24];
    char* end = buffer + sizeof(buffer) - 1;
    *end = '\0';
    char* start = format_digits(hex.value, 16, end);
    while (end - start < static_cast<long>(hex.digits) && end - start < 16) {
        *--start = '0';
    }
    put("0x");
    put(start);
}

void put(Size size) {
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    unsigned unit = 0;
    while (unit + 1 < sizeof(units) / sizeof(units[0]) && size.bytes >> (10 * (unit + 1)) != 0) {
        ++unit;
    }
    uint64_t whole = size.bytes >> (10 * unit);
    // One decimal, rounded down: the part below the unit, in tenths.
    uint64_t below = size.bytes & ((uint64_t{1} << (10 * unit)) - 1);
    uint64_t tenth = (below * 10) >> (10 * unit);
    put(whole);
    if (tenth != 0) {
        put(".");
        put(tenth);
    }
    put(" ");
    put(units[unit]);
}

void put(Field field) {
    for (size_t i = 0; i < field.capacity && field.chars[i] != '\0'; ++i) {
        put_char(field.chars[i]);
    }
}

void put(Column column) {
    do {
        put_char(' ');
    } while (line_position < column.column);
}
