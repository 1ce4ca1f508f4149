#include "idt.h"

#include <stdint.h>

#include "cpu.h"
#include "report.h"

enum {
    EXCEPTION_VECTORS = 32,
    /* Present, ring 0, 64-bit interrupt gate: interrupts stay off in the
       handler. */
    GATE_INTERRUPT = 0x8e,
};

struct idt_gate {
    uint16_t offset_low;
    uint16_t selector;
    uint8_t interrupt_stack;
    uint8_t type_attributes;
    uint16_t offset_middle;
    uint32_t offset_high;
    uint32_t reserved;
};
_Static_assert(sizeof(struct idt_gate) == 16, "64-bit IDT gates are 16 bytes");

struct idt_register {
    uint16_t limit;
    uint64_t base;
} __attribute__((packed));

/* The frame the stubs leave: the vector and error code they push, then what
   the processor pushed. */
struct exception_frame {
    uint64_t vector;
    uint64_t error_code;
    uint64_t rip;
    uint64_t cs;
    uint64_t rflags;
    uint64_t rsp;
    uint64_t ss;
};

extern const uint64_t exception_stub_table[EXCEPTION_VECTORS];

static struct idt_gate idt[EXCEPTION_VECTORS] __attribute__((aligned(16)));

void idt_install(void) {
    /* The gates use whatever code segment the firmware left loaded; the
       kernel has no descriptor table of its own. */
    uint16_t code_selector = read_cs();
    for (unsigned vector = 0; vector < EXCEPTION_VECTORS; vector++) {
        uint64_t target = exception_stub_table[vector];
        idt[vector] = (struct idt_gate){
            .offset_low = (uint16_t)target,
            .selector = code_selector,
            .interrupt_stack = 0,
            .type_attributes = GATE_INTERRUPT,
            .offset_middle = (uint16_t)(target >> 16),
            .offset_high = (uint32_t)(target >> 32),
            .reserved = 0,
        };
    }
    struct idt_register idtr = {.limit = sizeof(idt) - 1, .base = (uint64_t)(uintptr_t)idt};
    __asm__ volatile("lidt %0" : : "m"(idtr) : "memory");
}

_Noreturn void exception_report(const struct exception_frame* frame);

_Noreturn void exception_report(const struct exception_frame* frame) {
    static volatile int reporting;
    /* A fault while reporting a fault: leave without touching more state. */
    if (reporting) {
        exit_qemu(EXIT_EXCEPTION);
    }
    reporting = 1;
    uint64_t fault_address = read_cr2();
    line_begin();
    serial_write("EXCEPTION vector=");
    serial_write_dec(frame->vector);
    serial_write(" error=");
    serial_write_hex(frame->error_code);
    serial_write(" rip=");
    serial_write_hex(frame->rip);
    serial_write(" cr2=");
    serial_write_hex(fault_address);
    line_end();
    exit_qemu(EXIT_EXCEPTION);
}
