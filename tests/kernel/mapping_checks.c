#include "mapping_checks.h"

#include "cpu.h"
#include "kernel_image.h"
#include "report.h"

bool check_cr3(uint64_t cr3) {
    /* Bits 0-11 are flags (or a PCID) and bits 52-63 must be clear. */
    if ((cr3 & ~PTE_ADDRESS_MASK) != 0 || cr3 == 0) {
        check_fail_begin("cr3-flags");
        write_field_hex("cr3", cr3);
        line_end();
        return false;
    }
    check_pass("cr3-flags");
    return true;
}

static bool region_is_mapped_type(uint32_t type) {
    return type == QUILLMOR_REGION_USABLE || type == QUILLMOR_REGION_BOOT_RECLAIMABLE ||
           type == QUILLMOR_REGION_ACPI_RECLAIMABLE || type == QUILLMOR_REGION_ACPI_NVS ||
           type == QUILLMOR_REGION_KERNEL_AND_MODULES;
}

struct mapping_tally {
    const char* name;
    uint64_t pages;
    uint32_t failed_regions;
    uint32_t first_failed_region;
    struct walk_failure first_failure;
    bool first_is_range; /* the region itself cannot be mapped there */
};

static void tally_failure(struct mapping_tally* tally, uint32_t region,
                          const struct walk_failure* failure) {
    if (tally->failed_regions == 0) {
        tally->first_failed_region = region;
        tally->first_is_range = failure == 0;
        if (failure) {
            tally->first_failure = *failure;
        }
    }
    tally->failed_regions++;
}

static void report_tally(const struct quillmor_handoff* record, const struct mapping_tally* tally) {
    if (tally->failed_regions == 0) {
        check_pass(tally->name);
        return;
    }
    const struct quillmor_region* region = &record->regions[tally->first_failed_region];
    check_fail_begin(tally->name);
    write_field_dec("failed-regions", tally->failed_regions);
    write_field_dec("first-index", tally->first_failed_region);
    write_field_hex("base", region->base);
    write_field_hex("length", region->length);
    write_field_dec("type", region->type);
    if (tally->first_is_range) {
        serial_write(" beyond the direct map");
    } else {
        write_walk_failure(&tally->first_failure);
    }
    line_end();
}

void check_region_mappings(const struct quillmor_handoff* record, const struct page_walk* walk) {
    struct mapping_tally identity = {.name = "identity-map"};
    struct mapping_tally direct = {.name = "direct-map"};
    uint32_t count = readable_region_count(record);
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (!region_is_mapped_type(region->type) || region->length == 0) {
            continue;
        }
        uint64_t end = region_end(region);
        if (end > DIRECT_MAP_PHYSICAL_LIMIT) {
            tally_failure(&identity, i, 0);
            tally_failure(&direct, i, 0);
            continue;
        }
        /* Every page that holds a byte of the region. */
        uint64_t first = page_floor(region->base);
        uint64_t pages = pages_covering(region->base, region->length);
        struct walk_failure failure;
        if (walk_check_run(walk, first, first, pages, &failure)) {
            identity.pages += pages;
        } else {
            tally_failure(&identity, i, &failure);
        }
        if (walk_check_run(walk, QUILLMOR_DIRECT_MAP_OFFSET + first, first, pages, &failure)) {
            direct.pages += pages;
        } else {
            tally_failure(&direct, i, &failure);
        }
    }
    report_tally(record, &identity);
    report_tally(record, &direct);
    info_begin();
    serial_write("mapped-pages");
    write_field_dec("identity", identity.pages);
    write_field_dec("direct", direct.pages);
    line_end();
}

void check_kernel_mapping(const struct quillmor_handoff* record, const struct page_walk* walk) {
    uint64_t physical = record->kernel_physical_base;
    struct walk_failure failure;
    if (physical % PAGE_SIZE != 0 || physical >= DIRECT_MAP_PHYSICAL_LIMIT) {
        check_fail_begin("kernel-map");
        write_field_hex("physical-base", physical);
        serial_write(" is not a page-aligned physical address");
        line_end();
        return;
    }
    if (!walk_check_run(walk, kernel_virtual_base(), physical, kernel_image_size() / PAGE_SIZE,
                        &failure)) {
        check_fail_begin("kernel-map");
        write_walk_failure(&failure);
        line_end();
        return;
    }
    check_pass("kernel-map");
}

/* Writes a byte pattern, reads it back, and says where it first differs. */
static bool pattern_holds(volatile uint8_t* bytes, uint64_t count, uint8_t seed,
                          uint64_t* bad_offset) {
    for (uint64_t i = 0; i < count; i++) {
        bytes[i] = (uint8_t)(seed + i * 37);
    }
    for (uint64_t i = 0; i < count; i++) {
        if (bytes[i] != (uint8_t)(seed + i * 37)) {
            *bad_offset = i;
            return false;
        }
    }
    return true;
}

static void check_framebuffer_write(const struct quillmor_handoff* record) {
    volatile uint8_t* pixels = (volatile uint8_t*)(uintptr_t)record->framebuffer_address;
    uint64_t pixel_bytes = record->framebuffer_bits_per_pixel / 8;
    uint64_t pitch = record->framebuffer_pitch;
    uint64_t height = record->framebuffer_height;
    uint64_t width = record->framebuffer_width;
    /* First pixel, last pixel, and the visible part of the middle line. */
    uint64_t offsets[3] = {0, (height - 1) * pitch + (width - 1) * pixel_bytes,
                           (height / 2) * pitch};
    uint64_t lengths[3] = {pixel_bytes, pixel_bytes, width * pixel_bytes};
    for (unsigned i = 0; i < 3; i++) {
        uint64_t bad;
        if (!pattern_holds(pixels + offsets[i], lengths[i], (uint8_t)(0x5a + i), &bad)) {
            check_fail_begin("framebuffer-write");
            write_field_hex("offset", offsets[i] + bad);
            write_field_hex("read", pixels[offsets[i] + bad]);
            line_end();
            return;
        }
    }
    check_pass("framebuffer-write");
}

void check_framebuffer_mapping(const struct quillmor_handoff* record,
                               const struct page_walk* walk) {
    if (record->framebuffer_count == 0) {
        return;
    }
    uint64_t address = record->framebuffer_address;
    uint64_t pixel_bytes = record->framebuffer_bits_per_pixel / 8;
    uint64_t size = (uint64_t)record->framebuffer_height * record->framebuffer_pitch;
    bool shape_ok = address >= QUILLMOR_DIRECT_MAP_OFFSET && size < DIRECT_MAP_PHYSICAL_LIMIT &&
                    address - QUILLMOR_DIRECT_MAP_OFFSET < DIRECT_MAP_PHYSICAL_LIMIT - size &&
                    size != 0 && pixel_bytes != 0 && record->framebuffer_width != 0 &&
                    (uint64_t)record->framebuffer_width * pixel_bytes <= record->framebuffer_pitch;
    if (!shape_ok) {
        check_fail_begin("framebuffer-map");
        write_field_hex("address", address);
        write_field_dec("size", size);
        serial_write(" cannot be a direct-map framebuffer");
        line_end();
        check_fail_begin("framebuffer-write");
        serial_write(" skipped, no mapping to write through");
        line_end();
        return;
    }
    uint64_t physical = address - QUILLMOR_DIRECT_MAP_OFFSET;
    uint64_t first = page_floor(address);
    uint64_t pages = pages_covering(address, size);
    struct walk_failure failure;
    if (!walk_check_run(walk, first, page_floor(physical), pages, &failure)) {
        check_fail_begin("framebuffer-map");
        write_walk_failure(&failure);
        line_end();
        check_fail_begin("framebuffer-write");
        serial_write(" skipped, no mapping to write through");
        line_end();
        return;
    }
    check_pass("framebuffer-map");
    check_framebuffer_write(record);
}

struct table_visit {
    const struct usable_index* usable;
    uint64_t usable_tables;
    uint64_t first_usable_table;
};

static void visit_table(void* context, uint64_t table_physical) {
    struct table_visit* visit = context;
    if (usable_index_overlaps(visit->usable, table_physical, table_physical + PAGE_SIZE)) {
        if (visit->usable_tables == 0) {
            visit->first_usable_table = table_physical;
        }
        visit->usable_tables++;
    }
}

void check_table_tree(const struct page_walk* walk, const struct usable_index* usable) {
    struct table_visit visit = {.usable = usable};
    struct table_census census;
    walk_census(walk, visit_table, &visit, &census);

    if (census.invalid_entries != 0) {
        check_fail_begin("table-format");
        write_field_dec("invalid-entries", census.invalid_entries);
        serial_write(" first:");
        write_walk_failure(&census.first_invalid);
        line_end();
    } else {
        check_pass("table-format");
    }

    info_begin();
    serial_write("table-pages=");
    serial_write_dec(census.tables);
    line_end();

    if (visit.usable_tables != 0) {
        check_fail_begin("tables-not-usable");
        write_field_dec("tables-in-usable", visit.usable_tables);
        write_field_hex("first", visit.first_usable_table);
        line_end();
    } else {
        check_pass("tables-not-usable");
    }
}

void check_five_level_root(const struct page_walk* walk) {
    const uint64_t* entries = (const uint64_t*)(uintptr_t)(walk->window + walk->root);
    uint64_t low = entries[0], high = entries[511];
    unsigned other = 0, crossed = 0;
    for (unsigned i = 1; i < 511; i++) {
        other += entries[i] != 0;
    }
    bool apart =
        upper_entry_valid(low) && upper_entry_valid(high) && ((low ^ high) & PTE_ADDRESS_MASK) != 0;
    if (apart) {
        const uint64_t* lower =
            (const uint64_t*)(uintptr_t)(walk->window + (low & PTE_ADDRESS_MASK));
        const uint64_t* upper =
            (const uint64_t*)(uintptr_t)(walk->window + (high & PTE_ADDRESS_MASK));
        for (unsigned i = 0; i < 256; i++) {
            crossed += (lower[256 + i] != 0) + (upper[i] != 0);
        }
    }
    if (!apart || other != 0 || crossed != 0) {
        check_fail_begin("five-level-root");
        write_field_hex("entry0", low);
        write_field_hex("entry511", high);
        write_field_dec("others-used", other);
        write_field_dec("other-half-used", crossed);
        line_end();
        return;
    }
    check_pass("five-level-root");
}

/* Until the kernel loads its own, an exception or interrupt reads the
   firmware's IDT and a segment load its GDT, at their linear addresses under
   the loader's tables; so each must be mapped there, at its own address. */
static void check_descriptor_table(const char* name, const struct descriptor_register* loaded,
                                   const struct page_walk* walk) {
    uint64_t base = loaded->base, size = (uint64_t)loaded->limit + 1;
    struct walk_failure failure;
    bool low = base < DIRECT_MAP_PHYSICAL_LIMIT - size;
    if (low && walk_check_run(walk, page_floor(base), page_floor(base), pages_covering(base, size),
                              &failure)) {
        check_pass(name);
        return;
    }
    check_fail_begin(name);
    write_field_hex("base", base);
    write_field_hex("limit", loaded->limit);
    if (low) {
        serial_write(" not identity-mapped:");
        write_walk_failure(&failure);
    } else {
        serial_write(" above every identity-mappable address");
    }
    line_end();
}

void check_descriptor_tables(const struct page_walk* walk) {
    check_descriptor_table("gdt-identity", &entry_gdtr, walk);
    check_descriptor_table("idt-identity", &entry_idtr, walk);
    if ((cpuid(1, 0).edx & (1u << 9)) != 0) { /* a local APIC, and so IA32_APIC_BASE */
        struct descriptor_register apic = {PAGE_SIZE - 1, read_msr(0x1b) & PTE_ADDRESS_MASK};
        check_descriptor_table("apic-identity", &apic, walk);
    }
}
