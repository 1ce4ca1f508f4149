/*
 * The handover as a whole: the entry state, the record, the region table and
 * the page tables, each group of promises one named check that reports the
 * first it finds broken. Nothing the loader handed over is read before the
 * tables have shown it mapped.
 */
#include "oracle.h"

#define OFFSET QUILLMOR_DIRECT_MAP_OFFSET
#define LIMIT (1ull << 47) /* physical addresses from here on have no direct-map address */
#define PAGE 4096ull
#define RECORD_BYTES (4 * PAGE)
#define FB_FIRST __builtin_offsetof(struct quillmor_handoff, framebuffer_count)
#define FB_END __builtin_offsetof(struct quillmor_handoff, region_count)

struct finding {
    const char* what;
    uint64_t a, b;
};
static const struct finding held = {0, 0, 0};
/* A check stops at the first promise it finds broken. */
#define FAIL_IF(condition, text, x, y)                                                             \
    do {                                                                                           \
        if (condition) {                                                                           \
            return (struct finding){text, x, y};                                                   \
        }                                                                                          \
    } while (0)

/* The handover being checked, and the loader's own pages (the record's, the
   tables') found in Usable entries. */
static struct state {
    const struct oracle_handover* h;
    const struct quillmor_handoff* r;
    uint64_t failures, own_in_usable, first_own_in_usable;
    uint32_t exit_count; /* descriptors of the exit's map read */
} s;
/* The map the exit was given, once the extension block has shown it mapped:
   the one reading an environment without its own knows. */
static struct oracle_descriptor exit_map[4096];

static int report(const char* check, struct finding f) {
    s.failures += f.what != 0;
    s.h->note(s.h->context, check, f.what, f.a, f.b);
    return f.what != 0;
}

static const void* physical(const struct oracle_handover* h, uint64_t address) {
    return (const void*)(uintptr_t)(h->window + address);
}

/* The text, then zeros to the end of a field of `size` bytes (0: the text
   alone, as a signature). */
static int text_field(const void* at, uint64_t size, const char* text) {
    const char* field = at;
    uint64_t i = 0;
    for (; text[i] != 0; i++) {
        if (field[i] != text[i]) {
            return 0;
        }
    }
    for (; i < size; i++) {
        if (field[i] != 0) {
            return 0;
        }
    }
    return 1;
}

/* The physical address a virtual one translates to through valid entries, or
   ORACLE_UNKNOWN. */
static uint64_t translate(const struct oracle_handover* h, uint64_t address) {
    uint64_t table = h->cr3 & ORACLE_ADDRESS_MASK;
    for (unsigned level = h->levels; level >= 1; level--) {
        const uint64_t* entries = physical(h, table);
        uint64_t entry = entries[(address >> (3 + 9 * level)) & 511];
        if ((entry & 1) == 0) {
            return ORACLE_UNKNOWN;
        }
        table = entry & ORACLE_ADDRESS_MASK;
    }
    return table | (address & (PAGE - 1));
}

/* Whether every page of [base, base + length) reads through the direct
   map. */
static int mapped(const struct oracle_handover* h, uint64_t base, uint64_t length) {
    if (base >= LIMIT || length == 0 || length > LIMIT - base) {
        return 0;
    }
    for (uint64_t at = base; at - base < length; at = (at | (PAGE - 1)) + 1) {
        if (translate(h, OFFSET + at) != at) {
            return 0;
        }
    }
    return 1;
}

/* A firmware structure of `length` bytes, mapped, that starts with its
   signature. */
static int signed_at(const struct oracle_handover* h, uint64_t address, uint64_t length,
                     const char* signature) {
    return mapped(h, address, length) && text_field(physical(h, address), 0, signature);
}

/* Whether a direct-map address's `length` bytes all lie below 2^47. */
static int in_direct(uint64_t address, uint64_t length) {
    return address >= OFFSET && address - OFFSET < LIMIT && length <= LIMIT - (address - OFFSET);
}

static struct finding check_record_pointer(const struct oracle_handover* h) {
    FAIL_IF((h->cr3 & ~ORACLE_ADDRESS_MASK) != 0 || h->cr3 == 0, "CR3 with flag bits or none",
            h->cr3, 0);
    FAIL_IF(h->rdi < OFFSET || h->rdi % PAGE != 0 || !mapped(h, h->rdi - OFFSET, RECORD_BYTES),
            "RDI not the record's pages in the direct map", h->rdi, 0);
    return held;
}

/* The record's fixed and derived fields. */
static struct finding check_record(const struct oracle_handover* h,
                                   const struct quillmor_handoff* r) {
    const struct quillmor_module* m = &r->modules[0];
    uint64_t acpi = r->acpi_root_pointer;
    FAIL_IF(!text_field(r->magic, 8, "TKVARNOB") || r->version != 1 || r->size != 13544 ||
                r->direct_map_offset != OFFSET || r->reserved1 != 0 || r->reserved2 != 0 ||
                !text_field(r->loader_name, 32, "quillmor") ||
                !text_field(r->loader_version, 24, "1.0.0"),
            "magic, version, size, direct-map offset, reserved fields or loader name", r->version,
            r->size);
    FAIL_IF(r->extension != h->rdi + QUILLMOR_EXTENSION_OFFSET,
            "the extension block not in the record's pages", r->extension, 0);
    FAIL_IF(r->kernel_virtual_base != h->kernel_virtual_base || r->kernel_physical_base == 0 ||
                r->kernel_physical_base % PAGE != 0,
            "kernel virtual base, or physical base not a page", r->kernel_virtual_base,
            r->kernel_physical_base);
    FAIL_IF(r->processor_count != 1 || r->boot_processor_id != h->processor_id ||
                r->processors[0].id != h->processor_id ||
                r->processors[0].flags != QUILLMOR_PROCESSOR_BOOT,
            "processor count, boot processor id or flags", r->processor_count,
            r->boot_processor_id);
    FAIL_IF(!text_field(&r->processors[1], 63 * sizeof(struct quillmor_processor), "") ||
                !text_field(&r->modules[1], 3 * sizeof(struct quillmor_module), ""),
            "unused processor or module entries not zero", 0, 0);
    FAIL_IF(r->module_count != 1 || !in_direct(m->address, m->length) || m->address % PAGE != 0,
            "module count, or its address not a page of the direct map", m->address, m->length);
    FAIL_IF(h->ramdisk_length == ORACLE_UNKNOWN ? m->length == 0 : m->length != h->ramdisk_length,
            "module length", m->length, h->ramdisk_length);
    FAIL_IF(!text_field(m->name, 32, "initrd") || !text_field(m->path, 96, "\\boot\\initrd.ustar"),
            "module name or path", 0, 0);
    FAIL_IF(h->acpi_root != ORACLE_UNKNOWN ? acpi != h->acpi_root
                                           : acpi == 0 || !signed_at(h, acpi, 8, "RSD PTR "),
            "not the firmware's ACPI 2.0 table, or no RSDP in the direct map", acpi, h->acpi_root);
    return held;
}

/* The extension block in the record's pages, and what it points to mapped
   with its signature: the system table, the map the exit was given, the
   SMBIOS entry points; the command line in place and terminated. */
static struct finding check_extension(const struct oracle_handover* h,
                                      const struct quillmor_handoff* r) {
    const struct quillmor_extension* e = physical(h, r->extension - OFFSET);
    uint64_t map = e->memory_map, stride = e->memory_map_descriptor_size;
    FAIL_IF(!text_field(e->magic, 8, "TKVAREXT") || e->version != QUILLMOR_EXTENSION_VERSION ||
                e->size != sizeof(struct quillmor_extension),
            "magic, version or size", e->version, e->size);
    /* Real firmware keeps the system table and the SMBIOS entry points in
       runtime data, mapped as such; where the environment knows the map (a
       fake), it names them itself. */
    FAIL_IF(!h->first_map &&
                (!signed_at(h, e->system_table, 24, "IBI SYST") ||
                 (e->smbios3_entry != 0 && !signed_at(h, e->smbios3_entry, 24, "_SM3_")) ||
                 (e->smbios_entry != 0 && !signed_at(h, e->smbios_entry, 31, "_SM_"))),
            "the system table or an SMBIOS entry point unmapped or without its signature",
            e->system_table, e->smbios3_entry);
    FAIL_IF(stride < 40 || stride % 8 != 0 || e->memory_map_size % stride != 0 ||
                e->memory_map_descriptor_version != 1 ||
                (e->memory_map_size != 0 && !mapped(h, map, e->memory_map_size)),
            "the exit's map not a mapped map: size, stride", e->memory_map_size, stride);
    for (uint64_t at = 0; at < e->memory_map_size && s.exit_count < 4096; at += stride) {
        const uint64_t* d = physical(h, map + at);
        exit_map[s.exit_count++] = (struct oracle_descriptor){(uint32_t)d[0], d[1], d[3], d[4]};
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

/* The record's framebuffer fields as the mode must give them: count 0 and all
   zero without a linear framebuffer of whole lines the direct map can hold. */
static void framebuffer_of_mode(const struct oracle_mode* mode, struct quillmor_handoff* want) {
    static const uint32_t rgb[4] = {0xff, 0xff00, 0xff0000, 0xff000000};
    static const uint32_t bgr[4] = {0xff0000, 0xff00, 0xff, 0xff000000};
    if (mode == 0 || mode->format > 2 || mode->width == 0 || mode->height == 0 ||
        mode->pixels_per_line < mode->width) {
        return;
    }
    const uint32_t* masks = mode->format == 0 ? rgb : mode->format == 1 ? bgr : mode->masks;
    uint32_t all = masks[0] | masks[1] | masks[2] | masks[3];
    uint64_t bytes = all == 0 ? 0 : (39 - __builtin_clz(all)) / 8; /* the highest bit's byte */
    uint64_t pitch = mode->pixels_per_line * bytes;
    if (bytes == 0 || !in_direct(OFFSET + mode->base, pitch * mode->height)) {
        return;
    }
    want->framebuffer_count = 1;
    want->framebuffer_address = OFFSET + mode->base;
    want->framebuffer_width = mode->width;
    want->framebuffer_height = mode->height;
    want->framebuffer_pitch = (uint32_t)pitch;
    want->framebuffer_bits_per_pixel = (uint16_t)(bytes * 8);
    want->framebuffer_memory_model = QUILLMOR_FRAMEBUFFER_RGB;
    uint8_t* channel = &want->red_mask_size;
    for (unsigned c = 0; c < 3; c++) {
        if (masks[c] != 0) {
            channel[2 * c] = (uint8_t)(32 - __builtin_clz(masks[c]) - __builtin_ctz(masks[c]));
            channel[2 * c + 1] = (uint8_t)__builtin_ctz(masks[c]);
        }
    }
}

/* The record's framebuffer as the firmware's mode gives it; where that mode
   is unknown, as the mode the record describes gives it (the bit masks of its
   channels, apart in the pixel, and the rest of the pixel reserved). */
static struct finding check_framebuffer(const struct oracle_handover* h,
                                        const struct quillmor_handoff* r) {
    const uint8_t *got = (const uint8_t*)r + FB_FIRST, *channel = &r->red_mask_size;
    unsigned bpp = r->framebuffer_bits_per_pixel, bytes = bpp / 8;
    struct oracle_mode described = {.format = 2,
                                    .width = r->framebuffer_width,
                                    .height = r->framebuffer_height,
                                    .pixels_per_line = bytes ? r->framebuffer_pitch / bytes : 0,
                                    .base = r->framebuffer_address - OFFSET};
    int describe = !h->mode_known && r->framebuffer_count != 0;
    FAIL_IF(describe && (bpp == 0 || bpp % 8 != 0 || bpp > 32), "bits per pixel", bpp, 0);
    for (unsigned c = 0; describe && c < 3; c++) {
        unsigned size = channel[2 * c], shift = channel[2 * c + 1];
        FAIL_IF(size == 0 || size + shift > bpp, "channel outside the pixel", c, size);
        described.masks[c] = (uint32_t)(((1ull << size) - 1) << shift);
        FAIL_IF((described.masks[3] & described.masks[c]) != 0, "channels share bits", c, size);
        described.masks[3] |= described.masks[c];
    }
    described.masks[3] = describe ? (uint32_t)((1ull << bpp) - 1) & ~described.masks[3] : 0;
    struct quillmor_handoff want = {0};
    framebuffer_of_mode(h->mode_known ? h->mode : describe ? &described : 0, &want);
    for (unsigned i = 0; i < FB_END - FB_FIRST; i++) {
        FAIL_IF(got[i] != ((const uint8_t*)&want)[FB_FIRST + i],
                "not as the mode gives it: offset, byte", FB_FIRST + i, got[i]);
    }
    return held;
}

static struct finding check_region_entries(const struct quillmor_handoff* r) {
    FAIL_IF(r->region_count > QUILLMOR_MAX_REGIONS, "count past the table", r->region_count, 0);
    for (uint32_t i = 0; i < QUILLMOR_MAX_REGIONS; i++) {
        const struct quillmor_region* e = &r->regions[i];
        FAIL_IF(i >= r->region_count && (e->base != 0 || e->length != 0 ||
                                         e->type != QUILLMOR_REGION_RESERVED || e->zero != 0),
                "unused entry not base 0, length 0, type 5", i, e->type);
        FAIL_IF(i < r->region_count &&
                    (e->type > QUILLMOR_REGION_KERNEL_AND_MODULES || e->zero != 0 ||
                     e->length == 0 || e->length > ~e->base || (e->base | e->length) % PAGE != 0),
                "entry type, padding, range or page alignment", i, e->type);
    }
    return held;
}

/* The region table the map gives, with the kernel's and the ramdisk's pages
   carved out. */
static struct finding check_regions(const struct oracle_handover* h,
                                    const struct quillmor_handoff* r,
                                    const struct oracle_descriptor* map, uint32_t count) {
    static struct quillmor_region want[QUILLMOR_MAX_REGIONS];
    struct oracle_range carves[2] = {
        {r->kernel_physical_base, h->kernel_image_size, QUILLMOR_REGION_KERNEL_AND_MODULES},
        {r->modules[0].address - OFFSET, (r->modules[0].length + PAGE - 1) & ~(PAGE - 1),
         QUILLMOR_REGION_KERNEL_AND_MODULES}};
    uint32_t wanted = 0;
    enum oracle_regions outcome =
        oracle_expected_regions(map, count, carves, 2, h->own, h->own_count, want, &wanted);
    FAIL_IF(outcome != ORACLE_REGIONS_COMPLETE,
            "the map gives no table, or a page of the loader's usable", outcome, 0);
    FAIL_IF(r->region_count != wanted, "count: got, wanted", r->region_count, wanted);
    for (uint32_t i = 0; i < wanted; i++) {
        const struct quillmor_region* e = &r->regions[i];
        FAIL_IF(e->base != want[i].base || e->length != want[i].length || e->type != want[i].type,
                "entry differs from the map's: index, base", i, e->base);
    }
    return held;
}

/* A page of the loader's own (the ledger's are judged with the map). */
static void own_page(void* context, uint64_t page) {
    (void)context;
    for (uint32_t i = 0; i < s.r->region_count; i++) {
        const struct quillmor_region* e = &s.r->regions[i];
        if (e->type == QUILLMOR_REGION_USABLE && page < e->base + e->length &&
            e->base < page + PAGE && s.own_in_usable++ == 0) {
            s.first_own_in_usable = page;
        }
    }
}

/* The mappings the protocol promises, in the order the loader makes them:
   RAM of the types the loader maps (loader, boot and runtime services code
   and data, conventional, ACPI reclaim and NVS, persistent, unaccepted) in
   both; device memory the runtime services use at its own address only,
   where it has one; then what the processor and the jump stand on. When the
   map stands in for an earlier reading (`loose`), memory of other types but
   unusable may have been RAM then, and may be mapped as such. */
static void expect_mappings(const struct oracle_handover* h, const struct quillmor_handoff* r,
                            const struct oracle_descriptor* map, uint32_t count, int loose) {
    oracle_tables_begin();
    for (uint32_t i = 0; i < count; i++) {
        const struct oracle_descriptor* d = &map[i];
        uint64_t bytes = d->pages << 12;
        int ram = d->type <= 15 && ((0xc6feu >> d->type) & 1) != 0, maybe = loose && d->type != 8;
        int runtime = d->attribute >> 63 && d->base < LIMIT && bytes <= LIMIT - d->base;
        if (d->pages != 0 && (ram || runtime || maybe)) {
            oracle_tables_expect(d->base, d->base, bytes, ram || runtime);
        }
        if (d->pages != 0 && (ram || maybe) && d->base < LIMIT) {
            oracle_tables_expect(OFFSET + d->base, d->base, bytes, ram);
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
    oracle_tables_expect(h->rdi, h->rdi - OFFSET, RECORD_BYTES, 1);
    for (uint32_t i = 0; i < h->direct_count; i++) {
        oracle_tables_expect(OFFSET + h->direct[i].base, h->direct[i].base, h->direct[i].length, 1);
    }
}

uint64_t oracle_check_handover(const struct oracle_handover* h) {
    s = (struct state){.h = h};
    if (h->rsp != ORACLE_UNKNOWN) {
        report("entry-stack",
               (struct finding){h->rsp % 16 ? "RSP not 16-byte aligned" : 0, h->rsp, 0});
    }
    if (report("record-pointer", check_record_pointer(h))) {
        return s.failures;
    }
    const struct quillmor_handoff* r = s.r = physical(h, h->rdi - OFFSET);
    report("record", check_record(h, r));
    int extension_held = r->extension == h->rdi + QUILLMOR_EXTENSION_OFFSET &&
                         !report("extension-block", check_extension(h, r));
    if (report("framebuffer", check_framebuffer(h, r)) |
            report("region-entries", check_region_entries(r)) ||
        (!h->last_map && !extension_held)) {
        return s.failures;
    }
    /* Without readings of its own the environment knows the exit's: the
       regions come from it, and it stands in for the reading the tables come
       from. */
    const struct oracle_descriptor *first = h->first_map, *last = h->last_map;
    uint32_t first_count = h->first_count, last_count = h->last_count;
    if (last == 0) {
        first = last = exit_map;
        first_count = last_count = s.exit_count;
    }
    report("regions", check_regions(h, r, last, last_count));
    expect_mappings(h, r, first, first_count, h->last_map == 0);
    s.failures +=
        oracle_tables_check(h->cr3, h->levels, h->window, h->note, h->context, own_page, 0);
    for (uint64_t page = 0; page < RECORD_BYTES; page += PAGE) {
        own_page(0, h->rdi - OFFSET + page);
    }
    report("own-pages-not-usable",
           (struct finding){s.own_in_usable ? "pages in Usable entries: count, first" : 0,
                            s.own_in_usable, s.first_own_in_usable});
    return s.failures;
}
