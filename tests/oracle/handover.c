/*
 * The handover as a whole: the entry state, the record, the region table and
 * the page tables, each promise of the protocol one named check. Nothing the
 * loader handed over is read before the walk has shown it mapped.
 */
#include "oracle.h"

#define OFFSET QUILLMOR_DIRECT_MAP_OFFSET
#define RECORD_PAGES 4u
#define MAX_USABLE QUILLMOR_MAX_REGIONS

struct finding {
    const char* what;
    uint64_t a, b;
};
static const struct finding held = {0, 0, 0};
#define FAIL_IF(condition, text, x, y)                                                             \
    do {                                                                                           \
        if (condition) {                                                                           \
            return (struct finding){text, x, y};                                                   \
        }                                                                                          \
    } while (0)

struct state {
    const struct oracle_handover* h;
    const struct quillmor_handoff* record;
    uint64_t failures;
    /* Usable entries sorted by base, with the running maximum of the ends. */
    uint32_t usable_count;
    uint64_t usable_base[MAX_USABLE], usable_end[MAX_USABLE], usable_reach[MAX_USABLE];
    uint64_t tables_in_usable, first_table_in_usable;
};

static void report(struct state* s, const char* check, struct finding f) {
    s->failures += f.what != 0;
    s->h->note(s->h->context, check, f.what, f.a, f.b);
}

static int zero_bytes(const void* at, uint64_t count) {
    const volatile uint8_t* bytes = (const volatile uint8_t*)at;
    for (uint64_t i = 0; i < count; i++) {
        if (bytes[i] != 0) {
            return 0;
        }
    }
    return 1;
}

/* The text, then zeros to the end of the field. */
static int text_field(const char* field, uint64_t size, const char* text) {
    uint64_t i = 0;
    for (; text[i] != 0; i++) {
        if (field[i] != text[i]) {
            return 0;
        }
    }
    return zero_bytes(field + i, size - i);
}

static uint64_t pages_end(uint64_t base, uint64_t length) {
    return (base + length + ORACLE_PAGE - 1) & ~(ORACLE_PAGE - 1);
}

/* The physical address a virtual one translates to through valid entries, or
   ORACLE_UNKNOWN. */
static uint64_t translate(const struct oracle_handover* h, uint64_t address) {
    uint64_t table = h->cr3 & ORACLE_ADDRESS_MASK;
    for (unsigned level = h->levels; level >= 1; level--) {
        uint64_t index = (address >> (12 + 9 * (level - 1))) & 511;
        uint64_t entry = ((const uint64_t*)(uintptr_t)(h->window + table))[index];
        if ((entry & 1) == 0) {
            return ORACLE_UNKNOWN;
        }
        table = entry & ORACLE_ADDRESS_MASK;
    }
    return table | (address & (ORACLE_PAGE - 1));
}

static struct finding check_record_pointer(const struct oracle_handover* h) {
    FAIL_IF((h->cr3 & ~ORACLE_ADDRESS_MASK) != 0 || h->cr3 == 0, "CR3 with flag bits or none",
            h->cr3, 0);
    uint64_t physical = h->rdi - OFFSET;
    FAIL_IF(h->rdi < OFFSET || physical % ORACLE_PAGE != 0 ||
                physical >= ORACLE_DIRECT_LIMIT - RECORD_PAGES * ORACLE_PAGE,
            "RDI not a page of the direct map", h->rdi, 0);
    for (uint64_t page = 0; page < RECORD_PAGES; page++) {
        uint64_t at = translate(h, h->rdi + page * ORACLE_PAGE);
        FAIL_IF(at != physical + page * ORACLE_PAGE, "record page not mapped at RDI", page, at);
    }
    return held;
}

static struct finding check_header(const struct oracle_handover* h,
                                   const struct quillmor_handoff* r) {
    FAIL_IF(!text_field(r->magic, 8, "TKVARNOB") || r->version != 1 || r->size != 13544,
            "magic, version or size", r->version, r->size);
    FAIL_IF(r->direct_map_offset != OFFSET, "direct-map offset", r->direct_map_offset, 0);
    FAIL_IF(!text_field(r->loader_name, 32, "quillmor") ||
                !text_field(r->loader_version, 24, "1.0.0"),
            "loader name or version", 0, 0);
    FAIL_IF(r->reserved1 != 0 || r->reserved2 != 0, "reserved fields not zero", r->reserved1,
            r->reserved2);
    FAIL_IF(r->extension != h->rdi + QUILLMOR_EXTENSION_OFFSET,
            "the extension block not in the record's pages", r->extension, 0);
    FAIL_IF(r->kernel_virtual_base != h->kernel_virtual_base, "kernel virtual base",
            r->kernel_virtual_base, h->kernel_virtual_base);
    FAIL_IF(r->kernel_physical_base % ORACLE_PAGE != 0 || r->kernel_physical_base == 0,
            "kernel physical base not a page", r->kernel_physical_base, 0);
    return held;
}

/* Whether [physical, physical + length) reads through the direct map. */
static int direct_mapped(const struct oracle_handover* h, uint64_t physical, uint64_t length) {
    return physical < ORACLE_DIRECT_LIMIT && length != 0 &&
           length <= ORACLE_DIRECT_LIMIT - physical &&
           translate(h, OFFSET + physical) == physical &&
           translate(h, OFFSET + physical + length - 1) == physical + length - 1;
}

static int bytes_are(const struct oracle_handover* h, uint64_t physical, const char* text) {
    const volatile char* bytes = (const volatile char*)(uintptr_t)(h->window + physical);
    for (unsigned i = 0; text[i] != 0; i++) {
        if (bytes[i] != text[i]) {
            return 0;
        }
    }
    return 1;
}

/* The extension block in the record's pages, and what it points to mapped
   with its signature: the system table, the map the exit was given, the
   SMBIOS entry points; the command line in place and terminated. */
static struct finding check_extension(const struct oracle_handover* h,
                                      const struct quillmor_handoff* r) {
    const struct quillmor_extension* e =
        (const struct quillmor_extension*)(uintptr_t)(h->window + (r->extension - OFFSET));
    uint64_t stride = e->memory_map_descriptor_size;
    FAIL_IF(!text_field(e->magic, 8, "TKVAREXT") || e->version != QUILLMOR_EXTENSION_VERSION ||
                e->size != sizeof(struct quillmor_extension),
            "magic, version or size", e->version, e->size);
    /* Real firmware keeps the system table in runtime data, mapped as such;
       where the environment knows the map (a fake), it names it itself. */
    FAIL_IF(!h->first_map && (!direct_mapped(h, e->system_table, 24) ||
                              !bytes_are(h, e->system_table, "IBI SYST")),
            "no mapped system table at", e->system_table, 0);
    FAIL_IF(stride < 40 || stride % 8 != 0 || e->memory_map_size % stride != 0 ||
                e->memory_map_descriptor_version != 1 ||
                (e->memory_map_size != 0 && !direct_mapped(h, e->memory_map, e->memory_map_size)),
            "the exit's map not a mapped map: size, stride", e->memory_map_size, stride);
    FAIL_IF(
        !h->first_map && ((e->smbios3_entry != 0 && (!direct_mapped(h, e->smbios3_entry, 24) ||
                                                     !bytes_are(h, e->smbios3_entry, "_SM3_"))) ||
                          (e->smbios_entry != 0 && (!direct_mapped(h, e->smbios_entry, 31) ||
                                                    !bytes_are(h, e->smbios_entry, "_SM_")))),
        "an SMBIOS entry point unmapped or without its anchor", e->smbios3_entry, e->smbios_entry);
    /* Every Usable region starts in a conventional descriptor of that map:
       the region table and the map are the same reading. */
    for (uint32_t i = 0; i < r->region_count && i < QUILLMOR_MAX_REGIONS; i++) {
        const struct quillmor_region* region = &r->regions[i];
        int found = region->type != QUILLMOR_REGION_USABLE;
        for (uint64_t d = 0; !found && d < e->memory_map_size / stride; d++) {
            const volatile uint64_t* descriptor =
                (const volatile uint64_t*)(uintptr_t)(h->window + e->memory_map + d * stride);
            found = (uint32_t)descriptor[0] == 7 && descriptor[1] <= region->base &&
                    region->base - descriptor[1] < descriptor[3] * ORACLE_PAGE;
        }
        FAIL_IF(!found, "a usable region outside the exit's conventional memory", i, region->base);
    }
    FAIL_IF(e->tsc_at_entry == 0 || e->tsc_at_entry >= e->tsc_at_handover,
            "time stamps not entry < handover", e->tsc_at_entry, e->tsc_at_handover);
    FAIL_IF(e->command_line != r->extension + __builtin_offsetof(struct quillmor_extension,
                                                                 command_line_bytes) ||
                e->command_line_length >= QUILLMOR_COMMAND_LINE_CAPACITY ||
                e->command_line_bytes[e->command_line_length] != 0,
            "command line place, length or terminator", e->command_line, e->command_line_length);
    return held;
}

static struct finding check_processor(const struct oracle_handover* h,
                                      const struct quillmor_handoff* r) {
    FAIL_IF(r->processor_count != 1 || r->boot_processor_id != h->processor_id,
            "count or boot processor id", r->processor_count, r->boot_processor_id);
    FAIL_IF(r->processors[0].id != h->processor_id ||
                r->processors[0].flags != QUILLMOR_PROCESSOR_BOOT,
            "entry 0 id or flags", r->processors[0].id, r->processors[0].flags);
    FAIL_IF(!zero_bytes(&r->processors[1], 63 * sizeof(struct quillmor_processor)),
            "unused processor entries not zero", 0, 0);
    return held;
}

static struct finding check_module(const struct oracle_handover* h,
                                   const struct quillmor_handoff* r) {
    const struct quillmor_module* m = &r->modules[0];
    uint64_t physical = m->address - OFFSET;
    FAIL_IF(r->module_count != 1, "module count", r->module_count, 0);
    FAIL_IF(m->address < OFFSET || physical >= ORACLE_DIRECT_LIMIT ||
                m->length > ORACLE_DIRECT_LIMIT - physical || physical % ORACLE_PAGE != 0,
            "module address not a page of the direct map", m->address, m->length);
    FAIL_IF(h->ramdisk_length == ORACLE_UNKNOWN ? m->length == 0 : m->length != h->ramdisk_length,
            "module length", m->length, h->ramdisk_length);
    FAIL_IF(!text_field(m->name, 32, "initrd") || !text_field(m->path, 96, "\\boot\\initrd.ustar"),
            "module name or path", 0, 0);
    FAIL_IF(!zero_bytes(&r->modules[1], 3 * sizeof(struct quillmor_module)),
            "unused module entries not zero", 0, 0);
    return held;
}

static struct finding check_acpi(const struct oracle_handover* h,
                                 const struct quillmor_handoff* r) {
    uint64_t pointer = r->acpi_root_pointer;
    if (h->acpi_root != ORACLE_UNKNOWN) {
        FAIL_IF(pointer != h->acpi_root, "not the firmware's ACPI 2.0 table", pointer,
                h->acpi_root);
        return held;
    }
    FAIL_IF(pointer == 0 || pointer >= ORACLE_DIRECT_LIMIT - 8, "no RSDP", pointer, 0);
    /* The signature may straddle a page: both ends must translate. */
    uint64_t at = OFFSET + pointer;
    FAIL_IF(translate(h, at) != pointer || translate(h, at + 7) != pointer + 7,
            "RSDP not in the direct map", pointer, translate(h, at));
    const volatile char* bytes = (const volatile char*)(uintptr_t)(h->window + pointer);
    const char* signature = "RSD PTR ";
    for (unsigned i = 0; i < 8; i++) {
        FAIL_IF(bytes[i] != signature[i], "no RSDP signature", pointer, i);
    }
    return held;
}

static unsigned highest_bit(uint32_t value) { /* 0 for 0, else the bit's number + 1 */
    unsigned bits = 0;
    for (; value != 0; value >>= 1) {
        bits++;
    }
    return bits;
}

static unsigned lowest_bit(uint32_t value) {
    unsigned bit = 0;
    for (; value != 0 && (value & 1) == 0; value >>= 1) {
        bit++;
    }
    return bit;
}

/* The record's framebuffer fields as the mode must give them: count 0 and all
   zero without a linear framebuffer the direct map can hold. */
static void framebuffer_of_mode(const struct oracle_mode* mode, struct quillmor_handoff* want) {
    static const uint32_t rgb[4] = {0xff, 0xff00, 0xff0000, 0xff000000};
    static const uint32_t bgr[4] = {0xff0000, 0xff00, 0xff, 0xff000000};
    if (mode == 0 || mode->format > 2 || mode->width == 0 || mode->height == 0) {
        return;
    }
    const uint32_t* masks = mode->format == 0 ? rgb : mode->format == 1 ? bgr : mode->masks;
    unsigned bits = highest_bit(masks[0] | masks[1] | masks[2] | masks[3]);
    uint64_t bytes = (bits + 7) / 8;
    uint64_t size = (uint64_t)mode->pixels_per_line * bytes * mode->height;
    if (bits == 0 || mode->base >= ORACLE_DIRECT_LIMIT ||
        pages_end(mode->base, size) > ORACLE_DIRECT_LIMIT) {
        return;
    }
    want->framebuffer_count = 1;
    want->framebuffer_address = OFFSET + mode->base;
    want->framebuffer_width = mode->width;
    want->framebuffer_height = mode->height;
    want->framebuffer_pitch = (uint32_t)(mode->pixels_per_line * bytes);
    want->framebuffer_bits_per_pixel = (uint16_t)(bytes * 8);
    want->framebuffer_memory_model = QUILLMOR_FRAMEBUFFER_RGB;
    uint8_t* channel = &want->red_mask_size;
    for (unsigned c = 0; c < 3; c++) {
        unsigned low = lowest_bit(masks[c]);
        channel[2 * c] = (uint8_t)(masks[c] ? highest_bit(masks[c]) - low : 0);
        channel[2 * c + 1] = (uint8_t)(masks[c] ? low : 0);
    }
}

#define FB_FIRST __builtin_offsetof(struct quillmor_handoff, framebuffer_count)
#define FB_END __builtin_offsetof(struct quillmor_handoff, region_count)

static struct finding check_framebuffer(const struct oracle_handover* h,
                                        const struct quillmor_handoff* r) {
    const uint8_t* got = (const uint8_t*)r + FB_FIRST;
    if (h->mode_known) {
        static struct quillmor_handoff want;
        uint8_t* wanted = (uint8_t*)&want + FB_FIRST;
        for (unsigned i = 0; i < FB_END - FB_FIRST; i++) {
            wanted[i] = 0;
        }
        framebuffer_of_mode(h->mode, &want);
        for (unsigned i = 0; i < FB_END - FB_FIRST; i++) {
            FAIL_IF(got[i] != wanted[i], "not as the mode gives it: offset, byte", FB_FIRST + i,
                    got[i]);
        }
        return held;
    }
    if (r->framebuffer_count == 0) {
        FAIL_IF(!zero_bytes(got, FB_END - FB_FIRST), "count 0 but fields set", 0, 0);
        return held;
    }
    unsigned bpp = r->framebuffer_bits_per_pixel;
    uint64_t physical = r->framebuffer_address - OFFSET;
    uint64_t size = (uint64_t)r->framebuffer_height * r->framebuffer_pitch;
    FAIL_IF(r->framebuffer_count != 1 || r->framebuffer_memory_model != QUILLMOR_FRAMEBUFFER_RGB,
            "count or memory model", r->framebuffer_count, r->framebuffer_memory_model);
    FAIL_IF(r->framebuffer_address < OFFSET || physical >= ORACLE_DIRECT_LIMIT ||
                pages_end(physical, size) > ORACLE_DIRECT_LIMIT,
            "not below 2^47 in the direct map", r->framebuffer_address, size);
    FAIL_IF(r->framebuffer_width == 0 || r->framebuffer_height == 0 || bpp == 0 || bpp % 8 != 0 ||
                bpp > 32 || r->framebuffer_pitch < (uint64_t)r->framebuffer_width * (bpp / 8),
            "shape: width, pitch", r->framebuffer_width, r->framebuffer_pitch);
    uint32_t all = 0;
    const uint8_t* channel = &r->red_mask_size;
    for (unsigned c = 0; c < 3; c++) {
        unsigned size_bits = channel[2 * c], shift = channel[2 * c + 1];
        FAIL_IF(size_bits == 0 || size_bits + shift > bpp, "channel outside the pixel", c,
                size_bits);
        uint32_t mask = (uint32_t)(((1ull << size_bits) - 1) << shift);
        FAIL_IF((all & mask) != 0, "channels share bits", c, mask);
        all |= mask;
    }
    return held;
}

static void note_usable(struct state* s, const struct quillmor_region* region) {
    uint32_t at = s->usable_count++;
    for (; at > 0 && s->usable_base[at - 1] > region->base; at--) {
        s->usable_base[at] = s->usable_base[at - 1];
        s->usable_end[at] = s->usable_end[at - 1];
    }
    s->usable_base[at] = region->base;
    s->usable_end[at] = region->base + region->length;
}

/* Whether [base, end) shares a byte with a Usable entry: the entries starting
   before `end` form a prefix, and one reaches past `base` when the largest
   end among them does. */
static int in_usable(const struct state* s, uint64_t base, uint64_t end) {
    uint32_t low = 0, high = s->usable_count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (s->usable_base[middle] < end) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return base < end && low > 0 && s->usable_reach[low - 1] > base;
}

static struct finding check_region_entries(struct state* s, const struct quillmor_handoff* r) {
    FAIL_IF(r->region_count > QUILLMOR_MAX_REGIONS, "count past the table", r->region_count, 0);
    for (uint32_t i = 0; i < QUILLMOR_MAX_REGIONS; i++) {
        const struct quillmor_region* e = &r->regions[i];
        if (i >= r->region_count) {
            FAIL_IF(e->base != 0 || e->length != 0 || e->type != QUILLMOR_REGION_RESERVED ||
                        e->zero != 0,
                    "unused entry not base 0, length 0, type 5", i, e->type);
            continue;
        }
        FAIL_IF(e->type > QUILLMOR_REGION_KERNEL_AND_MODULES || e->zero != 0 || e->length == 0 ||
                    e->length > ~e->base || (e->base | e->length) % ORACLE_PAGE != 0,
                "entry type, padding, range or page alignment", i, e->type);
        if (e->type == QUILLMOR_REGION_USABLE) {
            note_usable(s, e);
        }
    }
    uint64_t reach = 0;
    for (uint32_t i = 0; i < s->usable_count; i++) {
        reach = s->usable_end[i] > reach ? s->usable_end[i] : reach;
        s->usable_reach[i] = reach;
    }
    return held;
}

static struct finding check_regions_of_map(const struct oracle_handover* h,
                                           const struct quillmor_handoff* r) {
    static struct quillmor_region want[QUILLMOR_MAX_REGIONS];
    struct oracle_range carves[2] = {
        {r->kernel_physical_base, h->kernel_image_size, QUILLMOR_REGION_KERNEL_AND_MODULES},
        {r->modules[0].address - OFFSET,
         (r->modules[0].length + ORACLE_PAGE - 1) & ~(ORACLE_PAGE - 1),
         QUILLMOR_REGION_KERNEL_AND_MODULES}};
    uint32_t count = 0;
    enum oracle_regions outcome = oracle_expected_regions(h->last_map, h->last_count, carves, 2,
                                                          h->own, h->own_count, want, &count);
    FAIL_IF(outcome == ORACLE_REGIONS_OWN_PAGE_USABLE, "a page of the loader's is usable", 0, 0);
    FAIL_IF(outcome != ORACLE_REGIONS_COMPLETE, "the map gives no table", outcome, 0);
    FAIL_IF(r->region_count != count, "count: got, wanted", r->region_count, count);
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* e = &r->regions[i];
        FAIL_IF(e->base != want[i].base || e->length != want[i].length || e->type != want[i].type,
                "entry differs from the map's: index, base", i, e->base);
    }
    return held;
}

/* Every byte of [base, base + length) in KernelAndModules entries. */
static int carved(const struct quillmor_handoff* r, uint64_t base, uint64_t length) {
    uint64_t cursor = base, end = base + length;
    for (int moved = 1; cursor < end && moved;) {
        moved = 0;
        for (uint32_t i = 0; i < r->region_count; i++) {
            const struct quillmor_region* e = &r->regions[i];
            if (e->type == QUILLMOR_REGION_KERNEL_AND_MODULES && e->base <= cursor &&
                cursor < e->base + e->length) {
                cursor = e->base + e->length;
                moved = 1;
            }
        }
    }
    return cursor >= end;
}

static struct finding check_regions_alone(const struct oracle_handover* h,
                                          const struct quillmor_handoff* r) {
    for (uint32_t i = 0; i < r->region_count; i++) {
        const struct quillmor_region* a = &r->regions[i];
        for (uint32_t j = 0; j < r->region_count && a->type == QUILLMOR_REGION_USABLE; j++) {
            const struct quillmor_region* b = &r->regions[j];
            int relevant = (b->type == QUILLMOR_REGION_USABLE && j != i) ||
                           b->type == QUILLMOR_REGION_KERNEL_AND_MODULES;
            FAIL_IF(relevant && a->base < b->base + b->length && b->base < a->base + a->length,
                    "a usable entry overlaps entry", i, j);
        }
    }
    FAIL_IF(!carved(r, r->kernel_physical_base, h->kernel_image_size),
            "the kernel's pages not KernelAndModules", r->kernel_physical_base, 0);
    FAIL_IF(!carved(r, r->modules[0].address - OFFSET, r->modules[0].length),
            "the ramdisk not KernelAndModules", r->modules[0].address, 0);
    return held;
}

static struct finding check_own_pages(const struct state* s) {
    const struct oracle_handover* h = s->h;
    uint64_t record = h->rdi - OFFSET;
    FAIL_IF(in_usable(s, record, record + RECORD_PAGES * ORACLE_PAGE), "the record's pages", record,
            0);
    FAIL_IF(s->tables_in_usable != 0, "table pages, first", s->tables_in_usable,
            s->first_table_in_usable);
    for (uint32_t i = 0; i < h->own_count; i++) {
        FAIL_IF(in_usable(s, h->own[i].base, h->own[i].base + h->own[i].length), "a ledger range",
                h->own[i].base, h->own[i].length);
    }
    return held;
}

static void visit_table(void* context, uint64_t table) {
    struct state* s = context;
    if (in_usable(s, table, table + ORACLE_PAGE) && s->tables_in_usable++ == 0) {
        s->first_table_in_usable = table;
    }
}

static void forward_note(void* context, const char* check, const char* what, uint64_t a,
                         uint64_t b) {
    struct state* s = context;
    s->h->note(s->h->context, check, what, a, b);
}

/* The mappings the protocol promises, in the order the loader makes them. */
static void expect_mappings(const struct oracle_handover* h, const struct quillmor_handoff* r) {
    oracle_tables_begin();
    if (h->first_map) {
        oracle_tables_expect_map(h->first_map, h->first_count);
    } else {
        /* Only the last reading is known: what the kernel may use must be
           mapped, reserved memory may be (loader and runtime data are), and
           device memory may be at its own address (the runtime services'). */
        for (uint32_t i = 0; i < r->region_count; i++) {
            const struct quillmor_region* e = &r->regions[i];
            int required = e->type <= QUILLMOR_REGION_ACPI_NVS ||
                           e->type == QUILLMOR_REGION_KERNEL_AND_MODULES;
            if ((required || e->type == QUILLMOR_REGION_RESERVED) &&
                e->base < ORACLE_DIRECT_LIMIT) {
                oracle_tables_expect(e->base, e->base, e->length, required);
                oracle_tables_expect(OFFSET + e->base, e->base, e->length, required);
            } else if (e->type == QUILLMOR_REGION_MMIO && e->base < ORACLE_DIRECT_LIMIT) {
                oracle_tables_expect(e->base, e->base, e->length, 0);
            }
        }
    }
    for (uint32_t i = 0; i < h->pinned_count; i++) {
        oracle_tables_expect(h->pinned[i].base, h->pinned[i].base, h->pinned[i].length, 1);
    }
    if (h->rsp != ORACLE_UNKNOWN) { /* where the kernel's first push lands */
        oracle_tables_expect(h->rsp - 8, h->rsp - 8, 8, 1);
    }
    oracle_tables_expect(r->kernel_virtual_base, r->kernel_physical_base, h->kernel_image_size, 1);
    if (r->framebuffer_count != 0) {
        oracle_tables_expect(r->framebuffer_address, r->framebuffer_address - OFFSET,
                             (uint64_t)r->framebuffer_height * r->framebuffer_pitch, 1);
    }
    /* The jump stands on these whatever the map says: the record's pages;
       and what the extension block points to, in the direct map. */
    oracle_tables_expect(h->rdi, h->rdi - OFFSET, RECORD_PAGES * ORACLE_PAGE, 1);
    for (uint32_t i = 0; i < h->direct_count; i++) {
        oracle_tables_expect(OFFSET + h->direct[i].base, h->direct[i].base, h->direct[i].length, 1);
    }
}

uint64_t oracle_check_handover(const struct oracle_handover* h) {
    static struct state s;
    s = (struct state){.h = h};
    if (h->rsp != ORACLE_UNKNOWN) {
        report(&s, "entry-stack",
               (struct finding){h->rsp % 16 ? "RSP not 16-byte aligned" : 0, h->rsp, 0});
    }
    struct finding pointer = check_record_pointer(h);
    report(&s, "record-pointer", pointer);
    if (pointer.what) {
        return s.failures;
    }
    const struct quillmor_handoff* r =
        (const struct quillmor_handoff*)(uintptr_t)(h->window + (h->rdi - OFFSET));
    report(&s, "record-header", check_header(h, r));
    report(&s, "boot-processor", check_processor(h, r));
    if (r->extension == h->rdi + QUILLMOR_EXTENSION_OFFSET) {
        report(&s, "extension-block", check_extension(h, r));
    }
    report(&s, "module", check_module(h, r));
    report(&s, "acpi-root", check_acpi(h, r));
    struct finding framebuffer = check_framebuffer(h, r);
    report(&s, "framebuffer", framebuffer);
    struct finding entries = check_region_entries(&s, r);
    report(&s, "region-entries", entries);
    if (entries.what || framebuffer.what) {
        return s.failures;
    }
    report(&s, "regions", h->last_map ? check_regions_of_map(h, r) : check_regions_alone(h, r));
    expect_mappings(h, r);
    s.failures +=
        oracle_tables_check(h->cr3, h->levels, h->window, forward_note, &s, visit_table, 0);
    report(&s, "own-pages-not-usable", check_own_pages(&s));
    return s.failures;
}
