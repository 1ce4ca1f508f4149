/*
 * The test kernel's sequence: report the entry state, then check the record,
 * the region table and the page tables in an order where nothing the loader
 * handed over is dereferenced before the page walk has shown it mapped.
 *
 * Only what a real boot can show is checked here: the processor's state at
 * entry, what the real firmware's map, tables and mode became, and what the
 * hardware's walk of the tables finds. The record's constant fields, the
 * region table's carving and merging, and the loader's arithmetic are the
 * host tests'.
 */
#include <stdint.h>

#include <quillmor/handoff.h>

#include "extension_checks.h"
#include "idt.h"
#include "image_checks.h"
#include "kernel_image.h"
#include "mapping_checks.h"
#include "record_checks.h"
#include "region_checks.h"
#include "report.h"

_Noreturn void kernel_main(void);

static void check_entry_stack(void) {
    if (entry_rsp % 16 != 0) {
        check_fail_begin("rsp-aligned");
        write_field_hex("rsp", entry_rsp);
        line_end();
        return;
    }
    check_pass("rsp-aligned");
}

/* Where the stack the kernel starts on lies by the region table: the type
   of the region holding the page its first push writes (none: 4294967295). */
static void report_stack_region(const struct quillmor_handoff* record) {
    uint64_t pushed = entry_rsp - 8;
    uint32_t type = 0xffffffffu;
    for (uint32_t i = 0; i < readable_region_count(record); i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->base <= pushed && pushed < region_end(region)) {
            type = region->type;
        }
    }
    info_begin();
    serial_write("stack region-type=");
    serial_write_dec(type);
    line_end();
}

static void check_region_table(const struct quillmor_handoff* record) {
    check_region_overlap(record);
    check_region_pages(record);
    report_stack_region(record);
    info_begin();
    serial_write("region-count=");
    serial_write_dec(record->region_count);
    line_end();
}

/* Everything after the record is known to be readable. */
static void check_handover(const struct quillmor_handoff* record, uint64_t record_physical,
                           const struct page_walk* walk) {
    static struct usable_index usable;

    check_boot_processor(record);
    check_module_entry(record);
    check_framebuffer_fields(record);
    check_acpi_rsdp(record, walk);

    check_region_table(record);
    check_extension(record, record_physical, walk);

    check_region_mappings(record, walk);
    check_kernel_mapping(record, walk);
    check_framebuffer_mapping(record, walk);
    check_descriptor_tables(walk);

    usable_index_build(record, &usable);
    check_table_tree(walk, &usable);
    /* Whole pages: the rest of the record's last page is the kernel's too. */
    check_range_not_usable(record, &usable, "record-not-usable", page_floor(record_physical),
                           pages_covering(record_physical, QUILLMOR_HANDOFF_SIZE) * PAGE_SIZE);
    uint64_t ramdisk_base, ramdisk_length;
    if (ramdisk_physical_range(record, &ramdisk_base, &ramdisk_length)) {
        check_range_not_usable(record, &usable, "ramdisk-not-usable", ramdisk_base, ramdisk_length);
    } else {
        check_fail_begin("ramdisk-not-usable");
        serial_write(" no ramdisk module");
        line_end();
    }

    check_ramdisk_contents(record, walk);
    report_kernel_info(record);
    report_framebuffer_info(record);
}

_Noreturn void kernel_main(void) {
    idt_install();

    line_begin();
    serial_write("start");
    line_end();
    line_begin();
    serial_write("rdi=");
    serial_write_hex(entry_rdi);
    serial_write(" cr3=");
    serial_write_hex(entry_cr3);
    serial_write(" rsp=");
    serial_write_hex(entry_rsp);
    unsigned levels = (entry_cr4 & CR4_LA57) ? 5 : 4;
    serial_write(" levels=");
    serial_write_dec(levels);
    line_end();

    /* First, before anything can write to the probes. */
    check_bss_zero();
    check_data_intact();
    check_entry_stack();

    if (check_cr3(entry_cr3)) {
        struct page_walk walk = {
            .root = entry_cr3, .window = QUILLMOR_DIRECT_MAP_OFFSET, .levels = levels};
        if (levels == 5) {
            check_five_level_root(&walk);
        }
        uint64_t record_physical;
        if (check_record_pointer(entry_rdi, &walk, &record_physical)) {
            const struct quillmor_handoff* record =
                (const struct quillmor_handoff*)(uintptr_t)entry_rdi;
            check_handover(record, record_physical, &walk);
        }
    }
    report_done();
}
