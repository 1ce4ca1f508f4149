// hello-kernel: reads the handoff record quillmor passes in, describes it on
// the serial port, draws on the framebuffer, and stops.
#include <quillmor/handoff.h>

#include "cpu.h"
#include "picture.h"
#include "serial.h"
#include "summary.h"

namespace {

// QEMU's isa-debug-exit device (-device isa-debug-exit,iobase=0xf4) ends the
// emulator with exit status (value << 1) | 1 when a value is written to its
// port. Without the device the write goes nowhere, and the kernel halts.
constexpr uint16_t kDebugExitPort = 0xf4;
constexpr uint8_t kExitSuccess = 0x10; // QEMU exits with 33
constexpr uint8_t kExitProblem = 0x11; // QEMU exits with 35

[[noreturn]] void finish(uint8_t exit_value) {
    cpu::port_write8(kDebugExitPort, exit_value);
    cpu::halt_forever();
}

// Everything else in the record is only meaningful if this holds.
bool record_header_ok(const quillmor_handoff& record) {
    for (unsigned i = 0; i < sizeof(record.magic); ++i) {
        if (record.magic[i] != QUILLMOR_HANDOFF_MAGIC_TEXT[i]) {
            return false;
        }
    }
    return record.version == QUILLMOR_HANDOFF_VERSION && record.size == QUILLMOR_HANDOFF_SIZE;
}

} // namespace

// Called from entry.S on the kernel's own stack, with the record's direct-map
// address that the loader put in RDI.
extern "C" [[noreturn]] void kernel_main(const quillmor_handoff* record) {
    print("\r\n");
    if (record == nullptr || !record_header_ok(*record)) {
        print("hello-kernel: PROBLEM: RDI does not point at a quillmor handoff record (",
              Hex{reinterpret_cast<uintptr_t>(record)}, ")\r\n");
        finish(kExitProblem);
    }

    unsigned problems = 0;
    problems += !print_loader(*record);
    print_memory(*record);
    print_modules(*record);
    print_framebuffer(*record);
    problems += !print_acpi(*record);
    problems += !print_extension(*record);
    problems += !print_boot_processor(*record);
    if (record->framebuffer_count != 0) {
        problems += !draw_picture(*record);
    }

    if (problems != 0) {
        print("hello-kernel: done, ", problems, " problem(s) found\r\n");
        finish(kExitProblem);
    }
    print("hello-kernel: done, no problems found\r\n");
    // The command line "poweroff" asks the firmware to switch the machine off.
    if (command_line_is(*record, "poweroff")) {
        power_off(*record);
        print("hello-kernel: PROBLEM: ResetSystem returned\r\n");
        finish(kExitProblem);
    }
    finish(kExitSuccess);
}
