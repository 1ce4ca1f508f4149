/*
 * The handover as a whole. The record the kernel must find is worked out from
 * what the environment knows and compared with the one handed over byte for
 * byte; where the loader chose (the kernel's pages, the module's, the ACPI
 * table where the environment cannot name it) its choice is held to the
 * rules instead. Then the extension block, and the page tables by one walk
 * against every mapping promised. Each check is named and reports the
 * numbers that show it broken.
 */
#include "oracle.h"

#define OFFSET QUILLMOR_DIRECT_MAP_OFFSET
#define LIMIT (1ull << 47) /* physical addresses from here on have no direct-map address */
#define PAGE 4096ull
#define RECORD_BYTES (4 * PAGE)
#define EXTENSION_COMMAND_LINE __builtin_offsetof(struct quillmor_extension, command_line_bytes)

/* The handover being checked, and the loader's own pages (the record's, the
   tables') found in Usable entries: how many, and the last. */
static struct state {
    const struct oracle_handover* h;
    const struct quillmor_handoff* r;
    uint64_t failures, usable_own_pages, usable_own_page;
    uint32_t exit_count; /* descriptors of the exit's map read */
} s;
/* The record the kernel must find. */
static struct quillmor_handoff want;
/* The map the exit was given: the one reading an environment without its own
   knows. */
static struct oracle_descriptor exit_map[4096];

/* Notes a named check, broken when `broken` is not 0, and returns `broken`. */
static int check(const char* name, int broken, uint64_t a, uint64_t b) {
    s.failures += broken != 0;
    s.h->note(s.h->context, name, broken ? "broken" : 0, a, b);
    return broken;
}

static const void* physical(uint64_t address) {
    return (const void*)(uintptr_t)(s.h->window + address);
}

static void expect_direct(uint64_t physical, uint64_t length) {
    if (physical != 0) {
        oracle_tables_expect(OFFSET + physical, physical, length, 1);
    }
}

/* Whether the structure of `length` bytes at a physical address (the
   firmware's, or the extension block) starts with its signature; the jump
   stands on it in the direct map. */
static int signed_at(uint64_t address, uint64_t length, const char* signature) {
    expect_direct(address, length);
    for (const char* at = physical(address); *signature != 0; at++, signature++) {
        if (*at != *signature) {
            return 0;
        }
    }
    return 1;
}

/* Whether a direct-map address's `length` bytes all lie below 2^47. */
static int in_direct(uint64_t address, uint64_t length) {
    return address >= OFFSET && address - OFFSET < LIMIT && length <= LIMIT - (address - OFFSET);
}

/* The extension block: its header, the time stamps in order, the command
   line in place and terminated; where the environment cannot name the firmware's
   tables, each with its signature; and the map the exit was given, read when
   it is a map. Returns whether it was read. */
static int check_extension(void) {
    const struct quillmor_extension* e = physical(s.r->extension - OFFSET);
    uint64_t stride = e->memory_map_descriptor_size, size = e->memory_map_size;
    check("extension-block",
          !signed_at(s.r->extension - OFFSET, sizeof *e, "TKVAREXT") ||
              e->version != QUILLMOR_EXTENSION_VERSION || e->size != sizeof *e ||
              e->tsc_at_entry == 0 || e->tsc_at_entry >= e->tsc_at_handover ||
              e->command_line != s.r->extension + EXTENSION_COMMAND_LINE ||
              e->command_line_length >= QUILLMOR_COMMAND_LINE_CAPACITY ||
              e->command_line_bytes[e->command_line_length] != 0,
          e->version, e->command_line_length);
    if (s.h->first_map == 0) {
        check("extension-firmware-tables",
              !signed_at(e->system_table, 24, "IBI SYST") ||
                  (e->smbios3_entry != 0 && !signed_at(e->smbios3_entry, 24, "_SM3_")) ||
                  (e->smbios_entry != 0 && !signed_at(e->smbios_entry, 31, "_SM_")),
              e->system_table, e->smbios3_entry);
    }
    if (check("extension-map",
              stride < 40 || stride % 8 != 0 || size % stride != 0 ||
                  e->memory_map_descriptor_version != 1,
              size, stride)) {
        return 0;
    }
    expect_direct(e->memory_map, size);
    for (uint64_t at = 0; at < size && s.exit_count < 4096; at += stride) {
        const uint64_t* d = physical(e->memory_map + at);
        exit_map[s.exit_count++] = (struct oracle_descriptor){(uint32_t)d[0], d[1], d[3], d[4]};
    }
    return 1;
}

/* The mode the record describes, where the firmware's is unknown: each
   channel's bits taken from those of the pixel no channel before took, the
   rest of the pixel reserved; 0 when it describes none. */
static const struct oracle_mode* described_mode(const struct quillmor_handoff* r) {
    static struct oracle_mode mode;
    const uint8_t* channel = &r->red_mask_size;
    unsigned bits = r->framebuffer_bits_per_pixel;
    if (r->framebuffer_count == 0 || bits == 0 || bits % 8 != 0 || bits > 32) {
        return 0;
    }
    mode = (struct oracle_mode){2,
                                {0, 0, 0, (uint32_t)((1ull << bits) - 1)},
                                r->framebuffer_width,
                                r->framebuffer_height,
                                r->framebuffer_pitch / (bits / 8),
                                r->framebuffer_address - OFFSET};
    for (unsigned c = 0; c < 3; c++) {
        unsigned size = channel[2 * c], shift = channel[2 * c + 1];
        mode.masks[c] = size + shift > bits ? 0 : (uint32_t)(((1ull << size) - 1) << shift);
        if (mode.masks[c] == 0 || (mode.masks[c] & ~mode.masks[3]) != 0) {
            return 0;
        }
        mode.masks[3] &= ~mode.masks[c];
    }
    return &mode;
}

/* The record's framebuffer as a mode gives it: none without a linear
   framebuffer of whole lines the direct map can hold. */
static void framebuffer_of_mode(const struct oracle_mode* mode) {
    static const uint32_t layouts[2][4] = {{0xff, 0xff00, 0xff0000, 0xff000000},
                                           {0xff0000, 0xff00, 0xff, 0xff000000}};
    if (mode == 0 || mode->format > 2 || mode->width == 0 || mode->height == 0 ||
        mode->pixels_per_line < mode->width) {
        return;
    }
    const uint32_t* masks = mode->format < 2 ? layouts[mode->format] : mode->masks;
    uint32_t all = masks[0] | masks[1] | masks[2] | masks[3];
    uint64_t bytes = all == 0 ? 0 : (39 - __builtin_clz(all)) / 8; /* the highest bit's byte */
    uint64_t pitch = mode->pixels_per_line * bytes;
    if (bytes == 0 || !in_direct(OFFSET + mode->base, pitch * mode->height)) {
        return;
    }
    want.framebuffer_count = 1;
    want.framebuffer_address = OFFSET + mode->base;
    want.framebuffer_width = mode->width;
    want.framebuffer_height = mode->height;
    want.framebuffer_pitch = (uint32_t)pitch;
    want.framebuffer_bits_per_pixel = (uint16_t)(bytes * 8);
    want.framebuffer_memory_model = QUILLMOR_FRAMEBUFFER_RGB;
    uint8_t* channel = &want.red_mask_size;
    for (unsigned c = 0; c < 3; c++) {
        if (masks[c] != 0) {
            channel[2 * c] = (uint8_t)(32 - __builtin_clz(masks[c]) - __builtin_ctz(masks[c]));
            channel[2 * c + 1] = (uint8_t)__builtin_ctz(masks[c]);
        }
    }
}

/* The record against the one the kernel must find: its fixed fields, what
   the environment knows, the framebuffer as the mode gives it and the region
   table as the map gives it, the kernel's and the module's pages carved out.
   Where the loader chose, its choice is taken, and held to the rules. */
static void check_record(const struct oracle_descriptor* map, uint32_t count) {
    const struct oracle_handover* h = s.h;
    const struct quillmor_handoff* r = s.r;
    const struct quillmor_module* m = &r->modules[0];
    uint64_t ramdisk = h->ramdisk_length == ORACLE_UNKNOWN ? m->length : h->ramdisk_length;
    want = (struct quillmor_handoff){
        .magic = "TKVARNOB",
        .version = QUILLMOR_HANDOFF_VERSION,
        .size = QUILLMOR_HANDOFF_SIZE,
        .direct_map_offset = OFFSET,
        .kernel_physical_base = r->kernel_physical_base,
        .kernel_virtual_base = h->kernel_virtual_base,
        .acpi_root_pointer = h->acpi_root == ORACLE_UNKNOWN ? r->acpi_root_pointer : h->acpi_root,
        .extension = h->rdi + QUILLMOR_EXTENSION_OFFSET,
        .module_count = 1,
        .processor_count = 1,
        .boot_processor_id = h->processor_id,
        .loader_name = "quillmor",
        .loader_version = "1.0.0",
        .modules = {{m->address, ramdisk, "initrd", "\\boot\\initrd.ustar"}},
        .processors = {{h->processor_id, QUILLMOR_PROCESSOR_BOOT}},
    };
    framebuffer_of_mode(h->mode_known ? h->mode : described_mode(r));
    struct oracle_range carves[2] = {
        {r->kernel_physical_base, h->kernel_image_size, QUILLMOR_REGION_KERNEL_AND_MODULES},
        {m->address - OFFSET, (m->length + PAGE - 1) & ~(PAGE - 1),
         QUILLMOR_REGION_KERNEL_AND_MODULES}};
    enum oracle_regions outcome = oracle_expected_regions(
        map, count, carves, 2, h->own, h->own_count, want.regions, &want.region_count);
    check("regions-of-the-map", outcome != ORACLE_REGIONS_COMPLETE, outcome, 0);
    for (uint32_t i = want.region_count; i < QUILLMOR_MAX_REGIONS; i++) {
        want.regions[i].type = QUILLMOR_REGION_RESERVED;
    }
    uint64_t same = 0;
    while (same < sizeof want && ((const uint8_t*)r)[same] == ((const uint8_t*)&want)[same]) {
        same++;
    }
    check("record", same != sizeof want, same, 0);
    check("kernel-and-module-places",
          r->kernel_physical_base == 0 || r->kernel_physical_base % PAGE != 0 || m->length == 0 ||
              m->address % PAGE != 0 || !in_direct(m->address, m->length),
          r->kernel_physical_base, m->address);
    if (h->acpi_root == ORACLE_UNKNOWN) {
        check("acpi-root",
              r->acpi_root_pointer == 0 || !signed_at(r->acpi_root_pointer, 36, "RSD PTR "),
              r->acpi_root_pointer, 0);
    }
}

/* A page of the loader's own (the ledger's are judged with the map). */
static void own_page(void* context, uint64_t page) {
    (void)context;
    for (uint32_t i = 0; i < want.region_count; i++) {
        const struct quillmor_region* e = &want.regions[i];
        if (e->type == QUILLMOR_REGION_USABLE && page < e->base + e->length &&
            e->base < page + PAGE) {
            s.usable_own_pages++;
            s.usable_own_page = page;
        }
    }
}

/* The mappings the map promises, in the order the loader makes them: RAM in
   both; device memory the runtime services use at its own address only,
   where it has one. When the map stands in for an earlier reading (`loose`),
   memory of other types but unusable may have been RAM then, and may be
   mapped as such. */
static void expect_map(const struct oracle_descriptor* map, uint32_t count, int loose) {
    for (uint32_t i = 0; i < count; i++) {
        const struct oracle_descriptor* d = &map[i];
        uint64_t bytes = d->pages << 12;
        int ram = oracle_is_ram(d->type), maybe = loose && d->type != 8;
        int runtime = d->attribute >> 63 && d->base < LIMIT && bytes <= LIMIT - d->base;
        if (d->pages != 0 && (ram || runtime || maybe)) {
            oracle_tables_expect(d->base, d->base, bytes, ram || runtime);
        }
        if (d->pages != 0 && (ram || maybe) && d->base < LIMIT) {
            oracle_tables_expect(OFFSET + d->base, d->base, bytes, ram);
        }
    }
}

uint64_t oracle_check_handover(const struct oracle_handover* h) {
    s = (struct state){.h = h};
    /* What the processor and the jump stand on, mapped whatever the map
       says: at their own address, and in the direct map the record's pages
       and the firmware data the extension block points to. */
    oracle_tables_begin();
    for (uint32_t i = 0; i < h->pinned_count; i++) {
        oracle_tables_expect(h->pinned[i].base, h->pinned[i].base, h->pinned[i].length, 1);
    }
    for (uint32_t i = 0; i < h->direct_count; i++) {
        expect_direct(h->direct[i].base, h->direct[i].length);
    }
    if (h->rsp != ORACLE_UNKNOWN) { /* and where the kernel's first push lands */
        check("entry-stack", h->rsp % 16 != 0, h->rsp, 0);
        oracle_tables_expect(h->rsp - 8, h->rsp - 8, 8, 1);
    }
    if (check("record-pointer",
              (h->cr3 & ~ORACLE_ADDRESS_MASK) != 0 || h->cr3 == 0 || h->rdi < OFFSET ||
                  h->rdi % PAGE != 0,
              h->cr3, h->rdi)) {
        return s.failures;
    }
    const struct quillmor_handoff* r = s.r = physical(h->rdi - OFFSET);
    expect_direct(h->rdi - OFFSET, RECORD_BYTES);
    int exit_map_read =
        !check("extension-pointer", r->extension != h->rdi + QUILLMOR_EXTENSION_OFFSET,
               r->extension, 0) &&
        check_extension();
    /* Without readings of its own the environment knows the exit's: the
       regions come from it, and it stands in for the reading the tables come
       from. */
    int own = h->last_map != 0;
    if (!own && !exit_map_read) {
        return s.failures;
    }
    check_record(own ? h->last_map : exit_map, own ? h->last_count : s.exit_count);
    expect_map(own ? h->first_map : exit_map, own ? h->first_count : s.exit_count, !own);
    oracle_tables_expect(r->kernel_virtual_base, r->kernel_physical_base, h->kernel_image_size, 1);
    if (r->framebuffer_count != 0) {
        expect_direct(r->framebuffer_address - OFFSET,
                      (uint64_t)r->framebuffer_height * r->framebuffer_pitch);
    }
    s.failures += oracle_tables_check(h->cr3, h->levels, h->window, h->note, h->context, own_page);
    for (uint64_t page = 0; page < RECORD_BYTES; page += PAGE) {
        own_page(0, h->rdi - OFFSET + page);
    }
    check("own-pages-not-usable", s.usable_own_pages != 0, s.usable_own_pages, s.usable_own_page);
    return s.failures;
}
