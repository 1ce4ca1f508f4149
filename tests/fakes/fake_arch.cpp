#include "tests/fakes/fake_arch.h"

#include "diag/serial.h"

fake_arch::State& fake_arch::state() {
    static State instance;
    return instance;
}

namespace arch {

using fake_arch::state;

void port_write8(uint16_t port, uint8_t value) {
    state().port_writes.emplace_back(port, value);
    if (port == serial_port::kLineControl) {
        state().divisor_latch = (value & 0x80) != 0;
    } else if (port == serial_port::kTransmitHolding && !state().divisor_latch) {
        state().serial.push_back(static_cast<char>(value));
    }
}

uint8_t port_read8(uint16_t port) {
    return port == serial_port::kLineStatus ? state().line_status(state().line_status_reads++) : 0;
}

void disable_interrupts() {
    state().interrupts_off = true;
}

void halt_processor() {
    state().halted_with_interrupts_off = state().interrupts_off;
    throw fake_arch::Halted{};
}

CpuidResult cpuid(uint32_t leaf, uint32_t subleaf) {
    return state().cpuid[{leaf, subleaf}]; // leaves not set answer zero
}

uint64_t read_cr4() {
    return state().cr4;
}

DescriptorTableRegister read_gdtr() {
    return state().gdtr;
}

DescriptorTableRegister read_idtr() {
    return state().idtr;
}

uint64_t read_tsc() {
    return state().tsc += 1000;
}

// Before the loader's first serial byte it is at its entry; after, deeper.
uint64_t stack_pointer() {
    return state().serial.empty() ? state().stack_pointer
                                  : state().stack_pointer - fake_arch::kStageDepth;
}

uint64_t read_msr(uint32_t index) {
    return state().msrs.at(index);
}

CodeRange handover_code() {
    return state().handover_code;
}

void enter_kernel(uint64_t page_table_root, uint64_t handoff_pointer, uint64_t entry_point) {
    throw fake_arch::EnteredKernel{page_table_root, handoff_pointer, entry_point};
}

} // namespace arch
