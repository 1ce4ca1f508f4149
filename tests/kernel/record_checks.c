#include "record_checks.h"

#include <stddef.h>

#include "cpu.h"
#include "kernel_image.h"
#include "report.h"

static bool all_zero(const void* bytes, size_t count, size_t* first_nonzero) {
    const uint8_t* b = bytes;
    for (size_t i = 0; i < count; i++) {
        if (b[i] != 0) {
            *first_nonzero = i;
            return false;
        }
    }
    return true;
}

bool check_record_pointer(uint64_t rdi, const struct page_walk* walk, uint64_t* record_physical) {
    const uint64_t offset = QUILLMOR_DIRECT_MAP_OFFSET;
    if (rdi < offset || rdi - offset >= DIRECT_MAP_PHYSICAL_LIMIT - QUILLMOR_HANDOFF_SIZE) {
        check_fail_begin("record-pointer");
        write_field_hex("rdi", rdi);
        serial_write(" is not a direct-map address");
        line_end();
        return false;
    }
    if (rdi % 8 != 0) {
        check_fail_begin("record-pointer");
        write_field_hex("rdi", rdi);
        serial_write(" is not 8-byte aligned");
        line_end();
        return false;
    }
    uint64_t physical = rdi - offset;
    struct walk_failure failure;
    if (!walk_check_run(walk, page_floor(rdi), page_floor(physical),
                        pages_covering(physical, QUILLMOR_HANDOFF_SIZE), &failure)) {
        check_fail_begin("record-pointer");
        serial_write(" record pages not mapped at rdi:");
        write_walk_failure(&failure);
        line_end();
        return false;
    }
    *record_physical = physical;
    check_pass("record-pointer");
    return true;
}

uint32_t boot_processor_identity(uint32_t* leaf) {
    enum { LEAF_TOPOLOGY = 0x0b, LEAF_FEATURES = 0x01 };
    uint32_t max_basic_leaf = cpuid(0, 0).eax;
    if (max_basic_leaf >= LEAF_TOPOLOGY) {
        struct cpuid_result topology = cpuid(LEAF_TOPOLOGY, 0);
        /* A zero count of logical processors at subleaf 0 means the leaf
           is not implemented even though the maximum covers it. */
        if ((topology.ebx & 0xffff) != 0) {
            *leaf = LEAF_TOPOLOGY;
            return topology.edx;
        }
    }
    *leaf = LEAF_FEATURES;
    return cpuid(LEAF_FEATURES, 0).ebx >> 24;
}

void check_boot_processor(const struct quillmor_handoff* record) {
    uint32_t leaf;
    uint32_t identity = boot_processor_identity(&leaf);
    const struct quillmor_processor* first = &record->processors[0];
    if (record->processor_count != 1 || record->boot_processor_id != identity ||
        first->id != identity || first->flags != QUILLMOR_PROCESSOR_BOOT) {
        check_fail_begin("boot-processor");
        write_field_dec("count", record->processor_count);
        write_field_dec("boot-id", record->boot_processor_id);
        write_field_dec("entry-id", first->id);
        write_field_hex("entry-flags", first->flags);
        write_field_dec("cpuid", identity);
        line_end();
        return;
    }
    check_pass("boot-processor");
}

bool ramdisk_physical_range(const struct quillmor_handoff* record, uint64_t* base,
                            uint64_t* length) {
    if (record->module_count < 1) {
        return false;
    }
    const struct quillmor_module* module = &record->modules[0];
    if (module->address < QUILLMOR_DIRECT_MAP_OFFSET) {
        return false;
    }
    uint64_t physical = module->address - QUILLMOR_DIRECT_MAP_OFFSET;
    if (physical >= DIRECT_MAP_PHYSICAL_LIMIT ||
        module->length > DIRECT_MAP_PHYSICAL_LIMIT - physical) {
        return false;
    }
    *base = physical;
    *length = module->length;
    return true;
}

void check_module_entry(const struct quillmor_handoff* record) {
    const struct quillmor_module* module = &record->modules[0];
    uint64_t base, length;
    if (record->module_count != 1 || !ramdisk_physical_range(record, &base, &length) ||
        length == 0 || base % PAGE_SIZE != 0) {
        check_fail_begin("module-entry");
        write_field_dec("count", record->module_count);
        write_field_hex("address", module->address);
        write_field_dec("length", module->length);
        line_end();
        return;
    }
    check_pass("module-entry");
}

void check_acpi_rsdp(const struct quillmor_handoff* record, const struct page_walk* walk) {
    static const char signature[8] = "RSD PTR ";
    uint64_t pointer = record->acpi_root_pointer;
    if (pointer == 0 || pointer >= DIRECT_MAP_PHYSICAL_LIMIT - sizeof(signature)) {
        check_fail_begin("acpi-rsdp");
        write_field_hex("pointer", pointer);
        line_end();
        return;
    }
    /* The signature may straddle a page boundary: both ends must translate
       before anything is read. */
    uint64_t virtual_address = QUILLMOR_DIRECT_MAP_OFFSET + pointer;
    uint64_t last = virtual_address + sizeof(signature) - 1;
    uint64_t physical_first, physical_last;
    struct walk_failure failure;
    if (!walk_translate(walk, virtual_address, &physical_first, &failure) ||
        !walk_translate(walk, last, &physical_last, &failure)) {
        check_fail_begin("acpi-rsdp");
        write_field_hex("pointer", pointer);
        serial_write(" not mapped in the direct map:");
        write_walk_failure(&failure);
        line_end();
        return;
    }
    if (physical_first != pointer || physical_last != pointer + sizeof(signature) - 1) {
        check_fail_begin("acpi-rsdp");
        write_field_hex("pointer", pointer);
        write_field_hex("translates-to", physical_first);
        line_end();
        return;
    }
    const volatile char* bytes = (const volatile char*)(uintptr_t)virtual_address;
    for (size_t i = 0; i < sizeof(signature); i++) {
        if (bytes[i] != signature[i]) {
            check_fail_begin("acpi-rsdp");
            write_field_hex("pointer", pointer);
            serial_write(" signature bytes");
            for (size_t j = 0; j < sizeof(signature); j++) {
                serial_write(" ");
                serial_write_hex((uint8_t)bytes[j]);
            }
            line_end();
            return;
        }
    }
    check_pass("acpi-rsdp");
}

static unsigned highest_bit_plus_one(uint32_t value) {
    unsigned bits = 0;
    while (value != 0) {
        bits++;
        value >>= 1;
    }
    return bits;
}

/* The colour channel's bits as a mask, or 0 when size or shift are out of
   range for a 32-bit pixel. */
static uint32_t channel_mask(uint8_t size, uint8_t shift) {
    if (size == 0 || size > 32 || shift >= 32 || size + shift > 32) {
        return 0;
    }
    uint64_t mask = ((1ull << size) - 1) << shift;
    return (uint32_t)mask;
}

void check_framebuffer_fields(const struct quillmor_handoff* record) {
    const size_t first = offsetof(struct quillmor_handoff, framebuffer_count);
    const size_t end = offsetof(struct quillmor_handoff, region_count);
    if (record->framebuffer_count == 0) {
        size_t at;
        if (!all_zero((const uint8_t*)record + first, end - first, &at)) {
            check_fail_begin("framebuffer-fields");
            serial_write(" count 0 but byte");
            write_field_hex("offset", first + at);
            write_field_hex("value", ((const uint8_t*)record)[first + at]);
            line_end();
            return;
        }
        check_pass("framebuffer-fields");
        return;
    }

    uint32_t red = channel_mask(record->red_mask_size, record->red_mask_shift);
    uint32_t green = channel_mask(record->green_mask_size, record->green_mask_shift);
    uint32_t blue = channel_mask(record->blue_mask_size, record->blue_mask_shift);
    uint32_t bpp = record->framebuffer_bits_per_pixel;
    bool shape_ok =
        record->framebuffer_count == 1 &&
        record->framebuffer_address >= QUILLMOR_DIRECT_MAP_OFFSET &&
        record->framebuffer_address - QUILLMOR_DIRECT_MAP_OFFSET < DIRECT_MAP_PHYSICAL_LIMIT &&
        record->framebuffer_width != 0 && record->framebuffer_height != 0 && bpp != 0 &&
        bpp % 8 == 0 && bpp <= 32 &&
        (uint64_t)record->framebuffer_pitch >= (uint64_t)record->framebuffer_width * (bpp / 8) &&
        record->framebuffer_memory_model == QUILLMOR_FRAMEBUFFER_RGB;
    /* Each channel lies inside the pixel and the channels do not share bits. */
    bool masks_ok = red != 0 && green != 0 && blue != 0 && (red & green) == 0 &&
                    (red & blue) == 0 && (green & blue) == 0 &&
                    highest_bit_plus_one(red | green | blue) <= bpp;
    if (!shape_ok || !masks_ok) {
        check_fail_begin("framebuffer-fields");
        write_field_dec("count", record->framebuffer_count);
        write_field_hex("address", record->framebuffer_address);
        write_field_dec("width", record->framebuffer_width);
        write_field_dec("height", record->framebuffer_height);
        write_field_dec("pitch", record->framebuffer_pitch);
        write_field_dec("bpp", bpp);
        write_field_dec("model", record->framebuffer_memory_model);
        write_field_hex("red-mask", red);
        write_field_hex("green-mask", green);
        write_field_hex("blue-mask", blue);
        line_end();
        return;
    }
    check_pass("framebuffer-fields");
}

void check_ramdisk_contents(const struct quillmor_handoff* record, const struct page_walk* walk) {
    uint64_t base, length;
    if (!ramdisk_physical_range(record, &base, &length) || length == 0) {
        check_fail_begin("module-mapped");
        serial_write(" no module with a direct-map address");
        line_end();
        return;
    }
    struct walk_failure failure;
    uint64_t virtual_address = QUILLMOR_DIRECT_MAP_OFFSET + base;
    if (!walk_check_run(walk, page_floor(virtual_address), page_floor(base),
                        pages_covering(base, length), &failure)) {
        check_fail_begin("module-mapped");
        write_walk_failure(&failure);
        line_end();
        return;
    }
    check_pass("module-mapped");

    /* FNV-1a, 64-bit, over the bytes as the kernel sees them. */
    const volatile uint8_t* bytes = (const volatile uint8_t*)(uintptr_t)record->modules[0].address;
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint64_t i = 0; i < length; i++) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    info_begin();
    serial_write("ramdisk-fnv1a64=0x");
    serial_write_hex_digits(hash, 16);
    write_field_dec("length", length);
    line_end();
}

void report_kernel_info(const struct quillmor_handoff* record) {
    info_begin();
    serial_write("kernel");
    write_field_hex("physical", record->kernel_physical_base);
    write_field_hex("virtual", record->kernel_virtual_base);
    write_field_dec("size", kernel_image_size());
    write_field_hex("entry-rflags", entry_rflags);
    line_end();
    info_begin();
    serial_write("acpi-rsdp");
    write_field_hex("pointer", record->acpi_root_pointer);
    line_end();
    info_begin();
    serial_write("boot-processor");
    uint32_t leaf;
    write_field_dec("id", record->boot_processor_id);
    write_field_dec("cpuid", boot_processor_identity(&leaf));
    write_field_hex("leaf", leaf);
    line_end();
}

void report_framebuffer_info(const struct quillmor_handoff* record) {
    info_begin();
    serial_write("framebuffer");
    write_field_dec("count", record->framebuffer_count);
    if (record->framebuffer_count != 0) {
        write_field_hex("address", record->framebuffer_address);
        write_field_dec("width", record->framebuffer_width);
        write_field_dec("height", record->framebuffer_height);
        write_field_dec("pitch", record->framebuffer_pitch);
        write_field_dec("bpp", record->framebuffer_bits_per_pixel);
        write_field_dec("model", record->framebuffer_memory_model);
        write_field_dec("red-size", record->red_mask_size);
        write_field_dec("red-shift", record->red_mask_shift);
        write_field_dec("green-size", record->green_mask_size);
        write_field_dec("green-shift", record->green_mask_shift);
        write_field_dec("blue-size", record->blue_mask_size);
        write_field_dec("blue-shift", record->blue_mask_shift);
    }
    line_end();
}
