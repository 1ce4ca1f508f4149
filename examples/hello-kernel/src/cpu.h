// The few processor instructions the kernel needs, as inline functions.
#pragma once

#include <stdint.h>

namespace cpu {

inline void port_write8(uint16_t port, uint8_t value) {
    asm volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

inline uint8_t port_read8(uint16_t port) {
    uint8_t value;
    asm volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

// Interrupts stay off, so nothing wakes the processor again.
[[noreturn]] inline void halt_forever() {
    for (;;) {
        asm volatile("cli; hlt");
    }
}

} // namespace cpu
