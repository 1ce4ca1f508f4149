// The real instructions behind the arch layer.
#include "arch/arch.h"

extern "C" [[noreturn]] void quillmor_enter_kernel(uint64_t page_table_root,
                                                   uint64_t handoff_pointer, uint64_t entry_point);

namespace arch {

void port_write8(uint16_t port, uint8_t value) {
    asm volatile("outb %0, %1" : : "a"(value), "Nd"(port) : "memory");
}

uint8_t port_read8(uint16_t port) {
    uint8_t value;
    asm volatile("inb %1, %0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}

void disable_interrupts() {
    asm volatile("cli" : : : "memory");
}

void halt_processor() {
    asm volatile("hlt" : : : "memory");
}

void enter_kernel(uint64_t page_table_root, uint64_t handoff_pointer, uint64_t entry_point) {
    quillmor_enter_kernel(page_table_root, handoff_pointer, entry_point);
}

} // namespace arch
