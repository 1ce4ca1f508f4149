#include "tests/fakes/fake_arch.h"

#include "arch/arch.h"
#include "diag/serial.h"

#include <map>
#include <utility>

namespace fake_arch {
namespace {

struct State {
    std::vector<Event> events;
    std::string serial;
    bool divisor_latch = false;
    uint64_t line_status_reads = 0;
    std::function<uint8_t(uint64_t)> line_status;
    std::map<std::pair<uint32_t, uint32_t>, arch::CpuidResult> cpuid;
    Registers registers = {};
};

State& state() {
    static State instance;
    return instance;
}

} // namespace

void reset() {
    state() = State{};
}

const std::vector<Event>& events() {
    return state().events;
}

std::vector<Event> port_writes() {
    std::vector<Event> writes;
    for (const Event& event : state().events) {
        if (event.kind == EventKind::PortWrite) {
            writes.push_back(event);
        }
    }
    return writes;
}

std::string serial_output() {
    return state().serial;
}

uint64_t line_status_reads() {
    return state().line_status_reads;
}

void set_line_status(std::function<uint8_t(uint64_t)> script) {
    state().line_status = std::move(script);
}

void set_cpuid(uint32_t leaf, uint32_t subleaf, uint32_t eax, uint32_t ebx, uint32_t ecx,
               uint32_t edx) {
    state().cpuid[{leaf, subleaf}] = {eax, ebx, ecx, edx};
}

Registers& registers() {
    return state().registers;
}

} // namespace fake_arch

namespace arch {

using fake_arch::Event;
using fake_arch::EventKind;

void port_write8(uint16_t port, uint8_t value) {
    auto& state = fake_arch::state();
    state.events.push_back({EventKind::PortWrite, port, value});
    if (port == serial_port::kLineControl) {
        state.divisor_latch = (value & 0x80) != 0;
    } else if (port == serial_port::kTransmitHolding && !state.divisor_latch) {
        state.serial.push_back(static_cast<char>(value));
    }
}

uint8_t port_read8(uint16_t port) {
    auto& state = fake_arch::state();
    if (port == serial_port::kLineStatus) {
        const uint64_t index = state.line_status_reads++;
        return state.line_status ? state.line_status(index)
                                 : serial_port::kLineStatusTransmitterEmpty;
    }
    state.events.push_back({EventKind::PortRead, port, 0});
    return 0;
}

void disable_interrupts() {
    fake_arch::state().events.push_back({EventKind::DisableInterrupts, 0, 0});
}

void halt_processor() {
    fake_arch::state().events.push_back({EventKind::Halt, 0, 0});
    throw fake_arch::Halted{};
}

CpuidResult cpuid(uint32_t leaf, uint32_t subleaf) {
    const auto& table = fake_arch::state().cpuid;
    const auto found = table.find({leaf, subleaf});
    return found == table.end() ? CpuidResult{0, 0, 0, 0} : found->second;
}

uint64_t read_cr4() {
    return fake_arch::registers().cr4;
}

DescriptorTableRegister read_gdtr() {
    return fake_arch::registers().gdtr;
}

DescriptorTableRegister read_idtr() {
    return fake_arch::registers().idtr;
}

uint64_t stack_pointer() {
    return fake_arch::registers().stack_pointer;
}

void enter_kernel(uint64_t page_table_root, uint64_t handoff_pointer, uint64_t entry_point) {
    throw fake_arch::EnteredKernel{page_table_root, handoff_pointer, entry_point};
}

} // namespace arch
