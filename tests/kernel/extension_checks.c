#include "extension_checks.h"

#include <stddef.h>

#include "region_checks.h"
#include "report.h"

static inline uint64_t read_tsc(void) {
    uint32_t low, high;
    __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
    return (uint64_t)high << 32 | low;
}

/* [physical, physical + length) mapped at its direct-map address. */
static bool direct_mapped(const struct page_walk* walk, uint64_t physical, uint64_t length) {
    struct walk_failure failure;
    return physical < DIRECT_MAP_PHYSICAL_LIMIT && length <= DIRECT_MAP_PHYSICAL_LIMIT - physical &&
           walk_check_run(walk, page_floor(QUILLMOR_DIRECT_MAP_OFFSET + physical),
                          page_floor(physical), pages_covering(physical, length), &failure);
}

static bool bytes_equal(uint64_t physical, const char* text, size_t length) {
    const volatile char* bytes =
        (const volatile char*)(uintptr_t)(QUILLMOR_DIRECT_MAP_OFFSET + physical);
    for (size_t i = 0; i < length; i++) {
        if (bytes[i] != text[i]) {
            return false;
        }
    }
    return true;
}

static void fail(const char* name, const char* why, uint64_t value) {
    check_fail_begin(name);
    serial_write(" ");
    serial_write(why);
    write_field_hex("value", value);
    line_end();
}

/* Every Usable region starts in a conventional-memory descriptor of the map
   the exit was given (neighbours merge, so it may run on into the next): the
   region table and the map are the same reading. */
static bool regions_in_map(const struct quillmor_handoff* record,
                           const struct quillmor_extension* extension, uint64_t* stray) {
    uint64_t map = QUILLMOR_DIRECT_MAP_OFFSET + extension->memory_map;
    uint64_t count = extension->memory_map_size / extension->memory_map_descriptor_size;
    for (uint32_t i = 0; i < readable_region_count(record); i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->type != QUILLMOR_REGION_USABLE) {
            continue;
        }
        bool found = false;
        for (uint64_t d = 0; d < count && !found; d++) {
            const volatile uint64_t* descriptor =
                (const volatile uint64_t*)(uintptr_t)(map +
                                                      d * extension->memory_map_descriptor_size);
            uint64_t start = descriptor[1], pages = descriptor[3];
            found = (uint32_t)descriptor[0] == 7 && start <= region->base &&
                    region->base - start < pages * PAGE_SIZE;
        }
        if (!found) {
            *stray = region->base;
            return false;
        }
    }
    return true;
}

void check_extension(const struct quillmor_handoff* record, uint64_t record_physical,
                     const struct page_walk* walk) {
    uint64_t physical = record_physical + QUILLMOR_EXTENSION_OFFSET;
    if (record->extension != QUILLMOR_DIRECT_MAP_OFFSET + physical ||
        !direct_mapped(walk, physical, sizeof(struct quillmor_extension))) {
        fail("extension-block", "not in the record's pages, or not mapped:", record->extension);
        return;
    }
    const struct quillmor_extension* extension =
        (const struct quillmor_extension*)(uintptr_t)record->extension;
    if (!bytes_equal(physical, QUILLMOR_EXTENSION_MAGIC_TEXT, 8) ||
        extension->version != QUILLMOR_EXTENSION_VERSION ||
        extension->size != sizeof(struct quillmor_extension)) {
        fail("extension-block", "header: magic, version or size wrong; size", extension->size);
        return;
    }
    check_pass("extension-block");

    /* "IBI SYST", the system table's signature. */
    if (!direct_mapped(walk, extension->system_table, 24) ||
        !bytes_equal(extension->system_table, "IBI SYST", 8)) {
        fail("extension-system-table", "no EFI system table signature at", extension->system_table);
    } else {
        check_pass("extension-system-table");
    }

    uint64_t stride = extension->memory_map_descriptor_size, stray = 0;
    if (stride < 40 || stride % 8 != 0 || extension->memory_map_size == 0 ||
        extension->memory_map_size % stride != 0 || extension->memory_map_descriptor_version != 1 ||
        !direct_mapped(walk, extension->memory_map, extension->memory_map_size)) {
        fail("extension-memory-map", "not a mapped memory map of", extension->memory_map_size);
    } else if (!regions_in_map(record, extension, &stray)) {
        fail("extension-memory-map", "a Usable region outside its conventional memory at", stray);
    } else {
        check_pass("extension-memory-map");
    }

    /* Mapped with their anchors, when the firmware has them. */
    if ((extension->smbios3_entry != 0 && (!direct_mapped(walk, extension->smbios3_entry, 24) ||
                                           !bytes_equal(extension->smbios3_entry, "_SM3_", 5))) ||
        (extension->smbios_entry != 0 && (!direct_mapped(walk, extension->smbios_entry, 31) ||
                                          !bytes_equal(extension->smbios_entry, "_SM_", 4)))) {
        fail("extension-smbios", "an entry point without its anchor, or unmapped; 3.0 at",
             extension->smbios3_entry);
    } else {
        check_pass("extension-smbios");
    }

    uint64_t now = read_tsc();
    if (extension->tsc_at_entry == 0 || extension->tsc_at_entry >= extension->tsc_at_handover ||
        extension->tsc_at_handover > now) {
        fail("extension-tsc", "not entry < handover <= now; handover", extension->tsc_at_handover);
    } else {
        check_pass("extension-tsc");
    }

    uint64_t length = extension->command_line_length;
    if (extension->command_line !=
            record->extension + offsetof(struct quillmor_extension, command_line_bytes) ||
        length >= QUILLMOR_COMMAND_LINE_CAPACITY || extension->command_line_bytes[length] != 0) {
        fail("extension-command-line", "address, length or terminator wrong; length", length);
        return;
    }
    check_pass("extension-command-line");
    info_begin();
    serial_write("extension");
    write_field_dec("flags", extension->flags);
    write_field_hex("smbios3", extension->smbios3_entry);
    write_field_hex("smbios", extension->smbios_entry);
    write_field_dec("loader-cycles", extension->tsc_at_handover - extension->tsc_at_entry);
    /* The command line's bytes in hexadecimal: spaces and any UTF-8 survive. */
    serial_write(" cmdline=");
    for (uint64_t i = 0; i < length; i++) {
        serial_write_hex_digits((uint8_t)extension->command_line_bytes[i], 2);
    }
    line_end();
}
