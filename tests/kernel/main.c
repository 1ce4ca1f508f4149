/*
 * The test kernel: the handover oracle on what the machine shows at entry,
 * then the facts only a real boot knows (the ramdisk's bytes, the region its
 * stack lies in, the CPUID leaf the processor's identity came from, the
 * extension block's flags and command line), then the verdict, all as
 * "[ktest] " lines on the first serial port, which the loader has programmed,
 * and an exit status on QEMU's isa-debug-exit port.
 *
 * The firmware's memory map is gone after the exit; the oracle judges the
 * regions and the tables by the map the exit was given, which the extension
 * block names. The kernel keeps the firmware's IDT: an exception reaches the
 * firmware's handler through the pages the loader keeps mapped, and OVMF
 * reports it on the serial port.
 */
#include <cpuid.h>
#include <stdarg.h>
#include <stdint.h>

#include <quillmor/handoff.h>

#include "oracle.h"

/* Written by kernel_entry before anything else runs. */
uint64_t entry_rsp, entry_rdi, entry_rflags;
_Alignas(16) uint8_t kernel_stack[65536];
/* Set by the linker script around every loadable segment. */
extern char kernel_image_start[], kernel_image_end[];

static uint64_t checks_passed, checks_failed;

static void put(char c) {
    /* A port that never reports ready costs this many polls per byte, then
       the byte is sent anyway: output must never hang the kernel. */
    uint8_t status = 0;
    for (unsigned polls = 0; polls < 100000 && (status & 0x20) == 0; polls++) {
        __asm__ volatile("inb %1, %0" : "=a"(status) : "Nd"((uint16_t)0x3fd));
    }
    __asm__ volatile("outb %0, %1" : : "a"(c), "Nd"((uint16_t)0x3f8));
}

/* The digits of `value`, at least `width` of them. */
static void number(uint64_t value, unsigned base, unsigned width) {
    if (value >= base || width > 1) {
        number(value / base, base, width > 1 ? width - 1 : 0);
    }
    put("0123456789abcdef"[value % base]);
}

/* Text with %s (a string), %u (decimal) and %x (hexadecimal) for uint64_t
   arguments. */
static void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    for (const char* f = format; *f != 0; f++) {
        if (*f != '%') {
            put(*f);
        } else if (*++f == 's') {
            say(va_arg(arguments, const char*)); /* the oracle's texts hold no % */
        } else {
            number(va_arg(arguments, uint64_t), *f == 'u' ? 10 : 16, 1);
        }
    }
    va_end(arguments);
}

/* The compiler may turn structure initialisation into a call of this. */
void* memset(void* destination, int value, unsigned long count) {
    volatile uint8_t* bytes = destination;
    for (unsigned long i = 0; i < count; i++) {
        bytes[i] = (uint8_t)value;
    }
    return destination;
}

static void note(void* context, const char* check, const char* what, uint64_t a, uint64_t b) {
    (void)context;
    checks_passed += what == 0;
    checks_failed += what != 0;
    say(what ? "[ktest] FAIL %s: %s a=0x%x b=0x%x\r\n" : "[ktest] ok %s\r\n", check, what, a, b);
}

/* The x2APIC ID of CPUID leaf 0x0B when the processor implements it (a zero
   count of logical processors at subleaf 0 says it does not), else the
   initial APIC ID of leaf 1; `leaf` says which. */
static uint32_t processor_identity(uint64_t* leaf) {
    uint32_t a, b, c, d;
    __cpuid_count(0, 0, a, b, c, d);
    *leaf = a >= 0x0b ? 0x0b : 1;
    __cpuid_count((uint32_t)*leaf, 0, a, b, c, d);
    if (*leaf == 0x0b && (b & 0xffff) == 0) {
        *leaf = 1;
        __cpuid_count(1, 0, a, b, c, d);
    }
    return *leaf == 0x0b ? d : b >> 24;
}

_Noreturn void kernel_main(void) {
    struct {
        uint16_t limit;
        uint64_t base;
    } __attribute__((packed)) gdtr, idtr;
    uint64_t cr3, cr4, leaf;
    __asm__ volatile("mov %%cr3, %0; mov %%cr4, %1; sgdt %2; sidt %3"
                     : "=r"(cr3), "=r"(cr4), "=m"(gdtr), "=m"(idtr));
    /* The firmware's exception handler reads the local APIC, when there is
       one (IA32_APIC_BASE holds its page). */
    uint32_t a, b, c, d;
    uint64_t apic = ORACLE_UNKNOWN;
    __cpuid_count(1, 0, a, b, c, d);
    if ((d & (1u << 9)) != 0) {
        __asm__ volatile("rdmsr" : "=a"(a), "=d"(d) : "c"(0x1b));
        apic = ((uint64_t)d << 32 | a) & ORACLE_ADDRESS_MASK;
    }
    uint64_t levels = (cr4 & (1u << 12)) != 0 ? 5 : 4;
    say("[ktest] start\r\n");
    say("[ktest] rdi=0x%x cr3=0x%x rsp=0x%x levels=%u\r\n", entry_rdi, cr3, entry_rsp, levels);
    struct oracle_handover handover = {
        .window = QUILLMOR_DIRECT_MAP_OFFSET,
        .rdi = entry_rdi,
        .cr3 = cr3,
        .rsp = entry_rsp,
        .pinned = {{gdtr.base, gdtr.limit + 1ull, 0},
                   {idtr.base, idtr.limit + 1ull, 0},
                   {apic, 4096, 0}},
        .pinned_count = apic != ORACLE_UNKNOWN ? 3 : 2,
        .levels = (unsigned)levels,
        .kernel_virtual_base = (uint64_t)(uintptr_t)kernel_image_start,
        /* The landing area: whole pages. */
        .kernel_image_size = (uint64_t)(kernel_image_end - kernel_image_start + 4095) & ~4095ull,
        .processor_id = processor_identity(&leaf),
        .acpi_root = ORACLE_UNKNOWN,
        .ramdisk_length = ORACLE_UNKNOWN,
        .note = note,
    };
    const struct quillmor_handoff* record = (const struct quillmor_handoff*)(uintptr_t)entry_rdi;
    if (oracle_check_handover(&handover) == 0) {
        /* FNV-1a over the module's bytes, for the bench to compare with the
           file; and the type of the region holding the page the kernel's
           first push writes (none: 4294967295), the firmware's choice. */
        const volatile uint8_t* bytes =
            (const volatile uint8_t*)(uintptr_t)record->modules[0].address;
        uint64_t hash = 0xcbf29ce484222325ull, stack = 0xffffffffu;
        for (uint64_t i = 0; i < record->modules[0].length; i++) {
            hash = (hash ^ bytes[i]) * 0x100000001b3ull;
        }
        for (uint32_t i = 0; i < record->region_count; i++) {
            const struct quillmor_region* region = &record->regions[i];
            if (region->base <= entry_rsp - 8 && entry_rsp - 8 - region->base < region->length) {
                stack = region->type;
            }
        }
        say("[ktest] info ramdisk-fnv1a64=0x");
        number(hash, 16, 16);
        say(" length=%u\r\n", record->modules[0].length);
        say("[ktest] info stack region-type=%u\r\n", stack);
    }
    const struct quillmor_extension* extension =
        (const struct quillmor_extension*)(uintptr_t)record->extension;
    /* The command line's bytes in hexadecimal: spaces and any UTF-8 survive. */
    say("[ktest] info extension flags=%u cmdline=", (uint64_t)extension->flags);
    for (uint64_t i = 0; i < extension->command_line_length; i++) {
        number((uint8_t)extension->command_line_bytes[i], 16, 2);
    }
    say("\r\n[ktest] info boot-processor leaf=0x%x entry-rflags=0x%x\r\n", leaf, entry_rflags);
    say("[ktest] done ok=%u failed=%u\r\n", checks_passed, checks_failed);
    /* A one-byte write suits the debug-exit device whatever width it was
       given; without the device the kernel simply stops here. */
    uint8_t status = checks_failed == 0 ? 0x10 : 0x11;
    __asm__ volatile("outb %0, %1" : : "a"(status), "Nd"((uint16_t)0xf4));
    for (;;) {
        __asm__ volatile("cli; hlt");
    }
}
