// The loader's log: the first PC serial port (a 16550 UART at 0x3F8), driven
// by polled port I/O so that it works before, during and after the firmware's
// boot services. Output only, no state in memory, nothing can fail.
#pragma once

#include "diag/text.h"

#include <stdint.h>

namespace serial_port {
constexpr uint16_t kBase = 0x3F8;
constexpr uint16_t kTransmitHolding = kBase + 0; // divisor low byte while DLAB is set
constexpr uint16_t kInterruptEnable = kBase + 1; // divisor high byte while DLAB is set
constexpr uint16_t kFifoControl = kBase + 2;
constexpr uint16_t kLineControl = kBase + 3;
constexpr uint16_t kModemControl = kBase + 4;
constexpr uint16_t kLineStatus = kBase + 5;

constexpr uint8_t kLineStatusTransmitterEmpty = 0x20;

// A byte is given up after this many line-status reads: a dead or absent
// UART then costs time but never stops the boot.
constexpr uint64_t kLineStatusReadsPerByte = 10'000'002;
} // namespace serial_port

// Every line the loader writes starts with this.
constexpr Text kLogPrefix = "[quillmor] ";
constexpr Text kLineEnd = "\r\n";

void serial_init();
void serial_write_byte(uint8_t byte);
void serial_write(const void* bytes, uint64_t count);
void serial_write_hex(uint64_t value);
void serial_write_dec(uint64_t value);

inline void serial_write(Text text) {
    serial_write(text.bytes, text.length);
}
