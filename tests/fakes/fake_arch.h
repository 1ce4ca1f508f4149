// The arch layer as host tests see it: port writes, CLI and HLT are recorded,
// line-status reads are answered from a script, HLT ends the test case by
// throwing, and the jump to the kernel is recorded instead of taken.
#pragma once

#include "arch/arch.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
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

struct State {
    std::vector<std::pair<uint16_t, uint8_t>> port_writes;
    std::string serial; // bytes written to the data port, divisor latch off
    bool divisor_latch = false;
    bool interrupts_off = false; // nothing the loader does turns them on
    bool halted_with_interrupts_off = false;
    uint64_t line_status_reads = 0;
    std::function<uint8_t(uint64_t read)> line_status = [](uint64_t) {
        return uint8_t{0x20}; // the transmitter empty: always ready
    };
    std::map<std::pair<uint32_t, uint32_t>, arch::CpuidResult> cpuid; // others: zero
    uint64_t cr4 = 0;
    arch::DescriptorTableRegister gdtr = {}, idtr = {};
    uint64_t stack_pointer = 0; // at the loader's entry; its stages run kStageDepth below
    std::map<uint32_t, uint64_t> msrs;
    arch::CodeRange handover_code = {};
    uint64_t tsc = 0x1000; // advances by 1000 at each read
};

// How far below its entry's stack pointer a stage of the loader reads it (as
// the kernel placement does on OVMF).
constexpr uint64_t kStageDepth = 0x260;

State& state();

inline void reset() {
    state() = State{};
}

} // namespace fake_arch
