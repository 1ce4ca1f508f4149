// The real instructions behind the arch layer.
#include "arch/arch.h"

extern "C" [[noreturn]] void quillmor_enter_kernel(uint64_t page_table_root,
                                                   uint64_t handoff_pointer, uint64_t entry_point);
extern "C" const char quillmor_enter_kernel_end[];

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

uint64_t read_cr4() {
    uint64_t value;
    asm volatile("mov %%cr4, %0" : "=r"(value));
    return value;
}

namespace {
// The memory image SGDT and SIDT write: the limit, then the base.
struct [[gnu::packed]] PseudoDescriptor {
    uint16_t limit;
    uint64_t base;
};
} // namespace

DescriptorTableRegister read_gdtr() {
    PseudoDescriptor value;
    asm volatile("sgdt %0" : "=m"(value));
    return {value.base, value.limit};
}

DescriptorTableRegister read_idtr() {
    PseudoDescriptor value;
    asm volatile("sidt %0" : "=m"(value));
    return {value.base, value.limit};
}

uint64_t read_tsc() {
    uint32_t low;
    uint32_t high;
    asm volatile("rdtsc" : "=a"(low), "=d"(high));
    return static_cast<uint64_t>(high) << 32 | low;
}

uint64_t stack_pointer() {
    uint64_t value;
    asm volatile("mov %%rsp, %0" : "=r"(value));
    return value;
}

uint64_t read_msr(uint32_t index) {
    uint32_t low;
    uint32_t high;
    asm volatile("rdmsr" : "=a"(low), "=d"(high) : "c"(index));
    return static_cast<uint64_t>(high) << 32 | low;
}

CodeRange handover_code() {
    return {reinterpret_cast<uint64_t>(&quillmor_enter_kernel),
            reinterpret_cast<uint64_t>(quillmor_enter_kernel_end)};
}

void enter_kernel(uint64_t page_table_root, uint64_t handoff_pointer, uint64_t entry_point) {
    quillmor_enter_kernel(page_table_root, handoff_pointer, entry_point);
}

} // namespace arch
