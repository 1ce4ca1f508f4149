/*
 * The quillmor handoff record: the one structure a kernel receives from the
 * loader. The kernel's entry point gets its higher-half direct-map address in
 * RDI. Offsets, widths and fixed values are the format; they never change.
 *
 * This header compiles as C11 and as C++17 or later and needs only the
 * freestanding integer headers, so kernels can include it as it is.
 * All integers are little-endian.
 *
 * The whole protocol (the machine state at entry, what is mapped where, the
 * meaning of every field and region type, the log) is docs/protocol.md.
 */
#ifndef QUILLMOR_HANDOFF_H
#define QUILLMOR_HANDOFF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QUILLMOR_STATIC_ASSERT(condition, message) static_assert(condition, message)
extern "C" {
#else
#define QUILLMOR_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* The record's first 8 bytes, the characters of this text in order (no
   terminator): compare them with memcmp against the text, not as a number. */
#define QUILLMOR_HANDOFF_MAGIC_TEXT "TKVARNOB"
#define QUILLMOR_HANDOFF_VERSION 1u
#define QUILLMOR_HANDOFF_SIZE 13544u

#define QUILLMOR_DIRECT_MAP_OFFSET 0xffff800000000000ull

#define QUILLMOR_MAX_REGIONS 512u
#define QUILLMOR_MAX_MODULES 4u
#define QUILLMOR_MAX_PROCESSORS 64u

/* Region types of the region table. */
#define QUILLMOR_REGION_USABLE 0u
#define QUILLMOR_REGION_BOOT_RECLAIMABLE 1u
#define QUILLMOR_REGION_ACPI_RECLAIMABLE 2u
#define QUILLMOR_REGION_ACPI_NVS 3u
#define QUILLMOR_REGION_MMIO 4u
#define QUILLMOR_REGION_RESERVED 5u
#define QUILLMOR_REGION_BAD_MEMORY 6u
#define QUILLMOR_REGION_KERNEL_AND_MODULES 7u

/* Processor entry flags: set on the entry of the processor that ran the loader. */
#define QUILLMOR_PROCESSOR_BOOT 1u

/* Framebuffer memory model: direct colour, described by the mask fields. */
#define QUILLMOR_FRAMEBUFFER_RGB 1u

struct quillmor_region {
    uint64_t base;   /* physical */
    uint64_t length; /* bytes */
    uint32_t type;   /* QUILLMOR_REGION_* */
    uint32_t zero;
};

struct quillmor_module {
    uint64_t address; /* higher-half direct-map address of the bytes */
    uint64_t length;  /* bytes */
    char name[32];    /* NUL-terminated */
    char path[96];    /* NUL-terminated path on the boot volume */
};

struct quillmor_processor {
    uint32_t id;
    uint32_t flags; /* QUILLMOR_PROCESSOR_BOOT on the boot processor */
};

struct quillmor_handoff {
    char magic[8]; /* "TKVARNOB", no terminator */
    uint32_t version;
    uint32_t size;
    uint64_t direct_map_offset;
    uint64_t kernel_physical_base;
    uint64_t kernel_virtual_base;
    uint64_t acpi_root_pointer; /* physical address of the ACPI 2.0 RSDP, or 0 */
    union {
        uint64_t extension;   /* direct-map address of the quillmor_extension, or 0 */
        uint8_t reserved0[8]; /* its name in headers before the extension block */
    };

    uint32_t framebuffer_count; /* 0 or 1 */
    uint32_t reserved1;
    uint64_t framebuffer_address; /* direct-map address once mapped */
    uint32_t framebuffer_width;
    uint32_t framebuffer_height;
    uint32_t framebuffer_pitch; /* bytes per line */
    uint16_t framebuffer_bits_per_pixel;
    uint16_t framebuffer_memory_model;
    uint8_t red_mask_size;
    uint8_t red_mask_shift;
    uint8_t green_mask_size;
    uint8_t green_mask_shift;
    uint8_t blue_mask_size;
    uint8_t blue_mask_shift;
    uint16_t reserved2;

    uint32_t region_count;
    uint32_t module_count;
    uint32_t processor_count;
    uint32_t boot_processor_id;
    char loader_name[32];    /* NUL-terminated */
    char loader_version[24]; /* NUL-terminated */

    struct quillmor_region regions[QUILLMOR_MAX_REGIONS];
    struct quillmor_module modules[QUILLMOR_MAX_MODULES];
    struct quillmor_processor processors[QUILLMOR_MAX_PROCESSORS];
};

QUILLMOR_STATIC_ASSERT(sizeof(struct quillmor_region) == 24, "region entry is 24 bytes");
QUILLMOR_STATIC_ASSERT(sizeof(struct quillmor_module) == 144, "module entry is 144 bytes");
QUILLMOR_STATIC_ASSERT(sizeof(struct quillmor_processor) == 8, "processor entry is 8 bytes");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_module, name) == 16, "module name");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_module, path) == 48, "module path");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_region, type) == 16, "region type");

QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, magic) == 0x00, "magic");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, version) == 0x08, "version");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, size) == 0x0c, "size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, direct_map_offset) == 0x10, "hhdm");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, kernel_physical_base) == 0x18, "kphys");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, kernel_virtual_base) == 0x20, "kvirt");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, acpi_root_pointer) == 0x28, "rsdp");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, extension) == 0x30, "extension");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, reserved0) == 0x30, "reserved0");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_count) == 0x38, "fb count");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, reserved1) == 0x3c, "reserved1");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_address) == 0x40,
                       "fb address");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_width) == 0x48, "fb width");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_height) == 0x4c, "fb height");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_pitch) == 0x50, "fb pitch");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_bits_per_pixel) == 0x54,
                       "fb bpp");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, framebuffer_memory_model) == 0x56,
                       "fb memory model");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, red_mask_size) == 0x58, "red size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, red_mask_shift) == 0x59, "red shift");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, green_mask_size) == 0x5a, "green size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, green_mask_shift) == 0x5b, "green shift");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, blue_mask_size) == 0x5c, "blue size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, blue_mask_shift) == 0x5d, "blue shift");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, reserved2) == 0x5e, "reserved2");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, region_count) == 0x60, "region count");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, module_count) == 0x64, "module count");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, processor_count) == 0x68, "cpu count");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, boot_processor_id) == 0x6c, "bsp id");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, loader_name) == 0x70, "loader name");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, loader_version) == 0x90, "version text");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, regions) == 0xa8, "region table");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, modules) == 0x30a8, "module table");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_handoff, processors) == 0x32e8, "cpu table");
QUILLMOR_STATIC_ASSERT(sizeof(struct quillmor_handoff) == QUILLMOR_HANDOFF_SIZE, "record size");

/*
 * The extension block: what the record has no field for. The record's
 * `extension` points to it (0: there is none, as from loaders older than
 * this block). It lies in the record's own pages, after the record, so it is
 * loader data like the record and mapped like it. Check its magic, version
 * and size before reading it; a later version only appends fields.
 */
#define QUILLMOR_EXTENSION_MAGIC_TEXT "TKVAREXT"
#define QUILLMOR_EXTENSION_VERSION 1u
/* Where it lies: this many bytes after the record's first byte. */
#define QUILLMOR_EXTENSION_OFFSET 0x3500u
/* The command line's bytes, the NUL included. */
#define QUILLMOR_COMMAND_LINE_CAPACITY 2048u

/* Extension flags. */
#define QUILLMOR_EXTENSION_SECURE_BOOT 1u /* the firmware's SecureBoot variable was 1 */
#define QUILLMOR_EXTENSION_SEALED 2u      /* the loader image carried a seal it checked */

struct quillmor_extension {
    char magic[8]; /* "TKVAREXT", no terminator */
    uint32_t version;
    uint32_t size;         /* bytes of this block, the command line buffer included */
    uint64_t system_table; /* physical address of the EFI system table */
    /* The firmware memory map exactly as handed to the successful
       ExitBootServices: physical address of the buffer (loader data, mapped),
       its bytes, the firmware's descriptor stride and version. */
    uint64_t memory_map;
    uint64_t memory_map_size;
    uint64_t memory_map_descriptor_size;
    uint32_t memory_map_descriptor_version;
    uint32_t flags;               /* QUILLMOR_EXTENSION_* */
    uint64_t smbios3_entry;       /* physical address of the SMBIOS 3.0 entry point, or 0 */
    uint64_t smbios_entry;        /* physical address of the SMBIOS 2.1 entry point, or 0 */
    uint64_t command_line;        /* direct-map address of command_line_bytes */
    uint64_t command_line_length; /* bytes before the NUL, at most 2047 */
    uint64_t tsc_at_entry;        /* the time stamp counter as the loader started */
    uint64_t tsc_at_handover;     /* and just before the jump to the kernel */
    char command_line_bytes[QUILLMOR_COMMAND_LINE_CAPACITY]; /* UTF-8, NUL-terminated */
};

QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, version) == 0x08, "ext version");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, size) == 0x0c, "ext size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, system_table) == 0x10, "system table");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, memory_map) == 0x18, "memory map");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, memory_map_size) == 0x20, "map size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, memory_map_descriptor_size) == 0x28,
                       "descriptor size");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, memory_map_descriptor_version) == 0x30,
                       "descriptor version");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, flags) == 0x34, "flags");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, smbios3_entry) == 0x38, "smbios3");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, smbios_entry) == 0x40, "smbios");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, command_line) == 0x48, "cmdline");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, command_line_length) == 0x50,
                       "cmdline length");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, tsc_at_entry) == 0x58, "tsc entry");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, tsc_at_handover) == 0x60,
                       "tsc handover");
QUILLMOR_STATIC_ASSERT(offsetof(struct quillmor_extension, command_line_bytes) == 0x68,
                       "cmdline bytes");
QUILLMOR_STATIC_ASSERT(sizeof(struct quillmor_extension) == 0x868, "extension size");
/* It fits in the record's four pages, after the record. */
QUILLMOR_STATIC_ASSERT(QUILLMOR_EXTENSION_OFFSET >= QUILLMOR_HANDOFF_SIZE, "after the record");
QUILLMOR_STATIC_ASSERT(QUILLMOR_EXTENSION_OFFSET + sizeof(struct quillmor_extension) <= 4 * 4096,
                       "in the record's pages");

#ifdef __cplusplus
}
#endif

#endif /* QUILLMOR_HANDOFF_H */
