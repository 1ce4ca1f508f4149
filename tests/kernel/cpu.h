/* Single x86-64 instructions the kernel needs, as inline functions. */
#ifndef KTEST_CPU_H
#define KTEST_CPU_H

#include <stdint.h>

static inline void port_write8(uint16_t port, uint8_t value) {
    __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

static inline uint8_t port_read8(uint16_t port) {
    uint8_t value;
    __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

static inline uint64_t read_msr(uint32_t index) {
    uint32_t low, high;
    __asm__ volatile("rdmsr" : "=a"(low), "=d"(high) : "c"(index));
    return (uint64_t)high << 32 | low;
}

struct cpuid_result {
    uint32_t eax, ebx, ecx, edx;
};

static inline struct cpuid_result cpuid(uint32_t leaf, uint32_t subleaf) {
    struct cpuid_result r;
    __asm__ volatile("cpuid"
                     : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx)
                     : "a"(leaf), "c"(subleaf));
    return r;
}

_Noreturn static inline void halt_forever(void) {
    for (;;) {
        __asm__ volatile("cli; hlt");
    }
}

#endif
