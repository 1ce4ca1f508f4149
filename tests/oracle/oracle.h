/*
 * The handover oracle: every promise of the boot protocol about what a kernel
 * finds at its first instruction, stated once. The test kernel runs it inside
 * QEMU, the whole-boot host test on the fake firmware's final state, and the
 * page-table and region-table fuzz targets use its parts as their invariant.
 *
 * Freestanding C11: no library, no allocation; fixed tables in static storage.
 * Every failed check is reported by name with the numbers that show it.
 */
#ifndef QUILLMOR_ORACLE_H
#define QUILLMOR_ORACLE_H

#include <stdint.h>

#include <quillmor/handoff.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORACLE_UNKNOWN UINT64_MAX
#define ORACLE_ADDRESS_MASK 0x000ffffffffff000ull

/* One firmware memory-map descriptor: EFI memory type, base, page count,
   attributes (bit 63: EFI_MEMORY_RUNTIME). */
struct oracle_descriptor {
    uint32_t type;
    uint64_t base, pages, attribute;
};

/* Whether memory of an EFI type is RAM to the page tables (loader, boot and
   runtime services code and data, conventional, ACPI reclaim and NVS,
   persistent, unaccepted): mapped at its own address and in the direct map. */
static inline int oracle_is_ram(uint32_t type) {
    return type <= 15 && ((0xc6feu >> type) & 1) != 0;
}

/* A range of bytes: a carve interval (with its region type) or a range the
   loader owns (type unused). */
struct oracle_range {
    uint64_t base, length;
    uint32_t type;
};

/* The Graphics Output mode as the firmware describes it. `format`: 0 RGB,
   1 BGR, 2 bit masks (red, green, blue, reserved), 3 Blt only. */
struct oracle_mode {
    uint32_t format, masks[4], width, height, pixels_per_line;
    uint64_t base;
};

/* Called once per check: `what` is 0 when it held, else why it failed, with
   two numbers that show it. */
typedef void (*oracle_note)(void* context, const char* check, const char* what, uint64_t a,
                            uint64_t b);

struct oracle_handover {
    /* What the kernel sees at its first instruction. `window` is the virtual
       address at which physical address 0 can be read. */
    uint64_t window, rdi, cr3, rsp;
    unsigned levels; /* 4, or 5 with CR4.LA57 */
    /* Ranges mapped at their own address whatever the map says: the pages
       under the GDT and the IDT, the local APIC's, the loader's handover code
       and the stack window the kernel inherits, as far as the environment
       knows them. */
    struct oracle_range pinned[8];
    uint32_t pinned_count;
    /* Firmware data mapped in the direct map whatever the map says (the
       memory-map buffer, the RSDP, the SMBIOS entry points), as far as the
       environment knows them. */
    struct oracle_range direct[8];
    uint32_t direct_count;
    /* What the kernel knows of itself and of the processor. */
    uint64_t kernel_virtual_base, kernel_image_size;
    uint32_t processor_id;
    /* What the firmware said, where the environment knows it. first_map:
       the reading the tables come from; last_map: the reading the regions
       come from (0: the map the exit was given, as the extension block shows
       it, stands for both); own: the loader's page ledger. */
    const struct oracle_descriptor *first_map, *last_map;
    uint32_t first_count, last_count;
    const struct oracle_range* own;
    uint32_t own_count;
    const struct oracle_mode* mode; /* 0: no graphics at all */
    int mode_known;
    uint64_t acpi_root;      /* ORACLE_UNKNOWN: must be an RSDP by its signature */
    uint64_t ramdisk_length; /* ORACLE_UNKNOWN: any non-empty module */
    oracle_note note;
    void* context;
};

/* Checks the whole handover; returns the number of failed checks. */
uint64_t oracle_check_handover(const struct oracle_handover* handover);

/* The page tables as mapping runs, in the order they are made (a later run
   wins where two meet). A run covers the pages holding [virtual, virtual +
   length), on the physical pages from `physical`'s; `required` runs must be
   mapped, the others may be. Virtual addresses count modulo 2^48, as the four
   levels index them. */
void oracle_tables_begin(void);
void oracle_tables_expect(uint64_t virtual_start, uint64_t physical, uint64_t length, int required);

/* Walks the tables under `root` and reports on them: every upper entry a
   table address with the flags 0x3, no empty table below level four, every leaf
   the one the runs give, every required page present. Under five levels only
   addresses that sign-extend a 48-bit one may be mapped: the root's first
   entry leads to the lower half, its last to the upper half, and no other
   root entry anywhere. `visit` sees every table page (the root included) for the
   caller's own checks; it may be 0. */
uint64_t oracle_tables_check(uint64_t root, unsigned levels, uint64_t window, oracle_note note,
                             void* context, void (*visit)(void* context, uint64_t table));

/* The region table the map must give: each descriptor's pieces (the carve
   intervals inside it, ordered by start, ties in carve order; the gaps in the
   descriptor's translated type), appended in map order and merged with the
   entry before when both have one type and touch. */
enum oracle_regions {
    ORACLE_REGIONS_COMPLETE,
    ORACLE_REGIONS_OWN_PAGE_USABLE,
    ORACLE_REGIONS_FULL,
    ORACLE_REGIONS_OVERFLOW,
};
enum oracle_regions oracle_expected_regions(const struct oracle_descriptor* map, uint32_t count,
                                            const struct oracle_range* carves, uint32_t carve_count,
                                            const struct oracle_range* own, uint32_t own_count,
                                            struct quillmor_region* table, uint32_t* table_count);

#ifdef __cplusplus
}
#endif

#endif
