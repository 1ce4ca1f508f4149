// The arch layer as host tests see it: port writes are recorded, line-status
// reads are answered from a script, HLT ends the test case by throwing, and
// the jump to the kernel is recorded instead of taken.
#pragma once

#include "arch/arch.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fake_arch {

// Thrown where the processor would halt.
struct Halted {};

// Thrown where the processor would jump to the kernel.
struct EnteredKernel {
    uint64_t page_table_root;
    uint64_t handoff_pointer;
    uint64_t entry_point;
};

enum class EventKind { PortWrite, PortRead, DisableInterrupts, Halt };

struct Event {
    EventKind kind;
    uint16_t port;
    uint8_t value;
};

void reset();

// Every port write, read, CLI and HLT in order (line-status reads are
// counted, not recorded, so a dead port does not fill memory).
const std::vector<Event>& events();
std::vector<Event> port_writes();

// The bytes the UART transmitted: writes to the data port while the divisor
// latch was off.
std::string serial_output();

uint64_t line_status_reads();

// Answers the n-th line-status read (counting from 0). Default: always ready.
void set_line_status(std::function<uint8_t(uint64_t read_index)> script);

// CPUID answers; leaves not set read as all zero.
void set_cpuid(uint32_t leaf, uint32_t subleaf, uint32_t eax, uint32_t ebx, uint32_t ecx,
               uint32_t edx);

// What the register reads answer; all zero after reset().
struct Registers {
    uint64_t cr4;
    arch::DescriptorTableRegister gdtr;
    arch::DescriptorTableRegister idtr;
    uint64_t stack_pointer;
};
Registers& registers();

} // namespace fake_arch
