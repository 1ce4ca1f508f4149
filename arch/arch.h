// The loader's only door to the processor itself. The image build implements
// these with the real instructions; host tests link fakes that record what the
// loader did and end the test case where the processor would stop.
#pragma once

#include <stdint.h>

namespace arch {

void port_write8(uint16_t port, uint8_t value);
uint8_t port_read8(uint16_t port);

// Clears the interrupt flag.
void disable_interrupts();

// Executes HLT once; returns if the processor is woken again.
void halt_processor();

struct CpuidResult {
    uint32_t eax;
    uint32_t ebx;
    uint32_t ecx;
    uint32_t edx;
};
CpuidResult cpuid(uint32_t leaf, uint32_t subleaf);

uint64_t read_cr4();

// GDTR or IDTR as SGDT and SIDT store it.
struct DescriptorTableRegister {
    uint64_t base;
    uint16_t limit; // the table's last byte is base + limit
};
DescriptorTableRegister read_gdtr();
DescriptorTableRegister read_idtr();

// The time stamp counter (RDTSC): the kernel learns how long the loader took.
uint64_t read_tsc();

// The stack pointer where the caller runs.
uint64_t stack_pointer();

// RDMSR. Only for registers the processor is known to have: any other faults.
uint64_t read_msr(uint32_t index);

// The bytes of the code that runs between the CR3 load and the jump to the
// kernel, [start, end): the new tables must map them where they lie.
struct CodeRange {
    uint64_t start;
    uint64_t end;
};
CodeRange handover_code();

// Loads CR3 with the page-table root, puts the handoff pointer in RDI, aligns
// the stack pointer to 16 bytes and jumps to the kernel entry point.
[[noreturn]] void enter_kernel(uint64_t page_table_root, uint64_t handoff_pointer,
                               uint64_t entry_point);

} // namespace arch
