#include "diag/serial.h"

#include "arch/arch.h"
#include "diag/number_format.h"

using namespace serial_port;

void serial_init() {
    // 115200 baud 8N1 with FIFOs, all UART interrupts off. The order matters:
    // the divisor bytes share their ports with the data and interrupt
    // registers while the divisor latch is enabled.
    arch::port_write8(kInterruptEnable, 0x00);
    arch::port_write8(kLineControl, 0x80);     // divisor latch on
    arch::port_write8(kTransmitHolding, 0x01); // divisor 1: 1.8432 MHz / 16 = 115200
    arch::port_write8(kInterruptEnable, 0x00);
    arch::port_write8(kLineControl, 0x03);  // 8 data bits, no parity, 1 stop; latch off
    arch::port_write8(kFifoControl, 0xC7);  // FIFOs on and cleared, trigger at 14 bytes
    arch::port_write8(kModemControl, 0x03); // DTR and RTS
}

void serial_write_byte(uint8_t byte) {
    for (uint64_t reads = 0; reads < kLineStatusReadsPerByte; ++reads) {
        if ((arch::port_read8(kLineStatus) & kLineStatusTransmitterEmpty) != 0) {
            arch::port_write8(kTransmitHolding, byte);
            return;
        }
    }
}

void serial_write(const void* bytes, uint64_t count) {
    const auto* data = static_cast<const uint8_t*>(bytes);
    for (uint64_t i = 0; i < count; ++i) {
        serial_write_byte(data[i]);
    }
}

void serial_write_hex(uint64_t value) {
    char text[kHexTextCapacity];
    serial_write(text, format_hex(value, text));
}

void serial_write_dec(uint64_t value) {
    char text[kDecimalTextCapacity];
    serial_write(text, format_decimal(value, text));
}
