/*
 * The test kernel's sequence: the handover oracle on what the machine shows
 * at entry, then the facts only a real boot knows (the ramdisk's bytes, the
 * region its stack lies in, the CPUID leaf the processor's identity came
 * from), then the verdict. Where the loader placed a kernel's segments, a
 * crafted kernel of the end-to-end table checks by itself.
 *
 * The firmware's memory map is gone after the exit, so the oracle judges the
 * tables against the region table the record gives. The kernel keeps the
 * firmware's IDT: an exception reaches the firmware's handler through the
 * pages the loader keeps mapped, and OVMF reports it on the serial port.
 */
#include <stdint.h>

#include <quillmor/handoff.h>

#include "cpu.h"
#include "kernel_image.h"
#include "oracle.h"
#include "report.h"

_Noreturn void kernel_main(void);

static void note(void* context, const char* check, const char* what, uint64_t a, uint64_t b) {
    (void)context;
    if (what == 0) {
        check_pass(check);
        return;
    }
    check_fail_begin(check);
    serial_write(" ");
    serial_write(what);
    write_field_hex("a", a);
    write_field_hex("b", b);
    line_end();
}

/* The x2APIC ID of CPUID leaf 0x0B when the processor implements it (a zero
   count of logical processors at subleaf 0 says it does not), else the
   initial APIC ID of leaf 1; `leaf` says which. */
static uint32_t processor_identity(uint32_t* leaf) {
    if (cpuid(0, 0).eax >= 0x0b) {
        struct cpuid_result topology = cpuid(0x0b, 0);
        if ((topology.ebx & 0xffff) != 0) {
            *leaf = 0x0b;
            return topology.edx;
        }
    }
    *leaf = 1;
    return cpuid(1, 0).ebx >> 24;
}

/* FNV-1a over the module's bytes as the kernel sees them, for the bench to
   compare with the file on the volume. */
static void report_ramdisk(const struct quillmor_handoff* record) {
    const volatile uint8_t* bytes = (const volatile uint8_t*)(uintptr_t)record->modules[0].address;
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint64_t i = 0; i < record->modules[0].length; i++) {
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    }
    info_begin();
    serial_write("ramdisk-fnv1a64=0x");
    serial_write_hex_digits(hash, 16);
    write_field_dec("length", record->modules[0].length);
    line_end();
}

/* The type of the region holding the page the kernel's first push writes
   (none: 4294967295): where the stack lies is the firmware's choice. */
static void report_stack_region(const struct quillmor_handoff* record) {
    uint32_t type = 0xffffffffu;
    for (uint32_t i = 0; i < record->region_count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->base <= entry_rsp - 8 && entry_rsp - 8 - region->base < region->length) {
            type = region->type;
        }
    }
    info_begin();
    serial_write("stack");
    write_field_dec("region-type", type);
    line_end();
}

_Noreturn void kernel_main(void) {
    line_begin();
    serial_write("start");
    line_end();
    unsigned levels = (entry_cr4 & CR4_LA57) ? 5 : 4;
    line_begin();
    serial_write("rdi=");
    serial_write_hex(entry_rdi);
    serial_write(" cr3=");
    serial_write_hex(entry_cr3);
    serial_write(" rsp=");
    serial_write_hex(entry_rsp);
    serial_write(" levels=");
    serial_write_dec(levels);
    line_end();

    uint32_t leaf;
    /* The firmware's exception handler reads the local APIC, when there is
       one (IA32_APIC_BASE holds its page). */
    uint64_t apic =
        (cpuid(1, 0).edx & (1u << 9)) != 0 ? read_msr(0x1b) & ORACLE_ADDRESS_MASK : ORACLE_UNKNOWN;
    struct oracle_handover handover = {
        .window = QUILLMOR_DIRECT_MAP_OFFSET,
        .rdi = entry_rdi,
        .cr3 = entry_cr3,
        .rsp = entry_rsp,
        .pinned = {{entry_gdtr.base, entry_gdtr.limit + 1ull, 0},
                   {entry_idtr.base, entry_idtr.limit + 1ull, 0},
                   {apic, 4096, 0}},
        .pinned_count = apic != ORACLE_UNKNOWN ? 3 : 2,
        .levels = levels,
        .kernel_virtual_base = kernel_virtual_base(),
        .kernel_image_size = kernel_image_size(),
        .processor_id = processor_identity(&leaf),
        .acpi_root = ORACLE_UNKNOWN,
        .ramdisk_length = ORACLE_UNKNOWN,
        .note = note,
    };
    if (oracle_check_handover(&handover) == 0) {
        report_ramdisk((const struct quillmor_handoff*)(uintptr_t)entry_rdi);
        report_stack_region((const struct quillmor_handoff*)(uintptr_t)entry_rdi);
    }
    const struct quillmor_extension* extension =
        (const struct quillmor_extension*)(uintptr_t)((const struct quillmor_handoff*)(uintptr_t)
                                                          entry_rdi)
            ->extension;
    info_begin();
    serial_write("extension");
    write_field_dec("flags", extension->flags);
    /* The command line's bytes in hexadecimal: spaces and any UTF-8 survive. */
    serial_write(" cmdline=");
    for (uint64_t i = 0; i < extension->command_line_length; i++) {
        serial_write_hex_digits((uint8_t)extension->command_line_bytes[i], 2);
    }
    line_end();
    info_begin();
    serial_write("boot-processor");
    write_field_hex("leaf", leaf);
    write_field_hex("entry-rflags", entry_rflags);
    line_end();
    report_done();
}
