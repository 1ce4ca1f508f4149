// Text output on the first serial port (COM1). The loader has already
// programmed it for 115200 baud, 8N1, so the kernel only writes bytes.
//
//     print("regions: ", count, " at ", Hex{address}, "\r\n");
#pragma once

#include <stddef.h>
#include <stdint.h>

// "0x" and lower-case digits; at least `digits` of them, zero-padded.
struct Hex {
    uint64_t value;
    unsigned digits = 1;
};

// A byte count in binary units with one decimal: "640 KiB", "1003.4 MiB".
struct Size {
    uint64_t bytes;
};

// Text from a fixed-size field that may fill it without a terminating NUL.
struct Field {
    const char* chars;
    size_t capacity;
};

// Spaces up to a column, counted from the start of the line.
struct Column {
    unsigned column;
};

void put(const char* text);
void put(uint64_t value); // unsigned decimal
void put(Hex hex);
void put(Size size);
void put(Field field);
void put(Column column);

template <typename... Parts> void print(const Parts&... parts) {
    (put(parts), ...);
}
