// The kernel's table of physical memory regions, built from the firmware
// memory map: firmware types translated, the kernel's landing area and the
// ramdisk carved out under their own type, neighbours merged, and proof that
// none of the loader's own pages is reported usable.
//
// Nothing here calls the firmware or obtains memory: it runs between the last
// memory-map reading and the exit from boot services.
#pragma once

#include "firmware/memory_map.h"

#include <quillmor/handoff.h>
#include <stdint.h>

enum RegionType : uint32_t {
    Usable = QUILLMOR_REGION_USABLE,
    BootReclaimable = QUILLMOR_REGION_BOOT_RECLAIMABLE,
    AcpiReclaimable = QUILLMOR_REGION_ACPI_RECLAIMABLE,
    AcpiNvs = QUILLMOR_REGION_ACPI_NVS,
    Mmio = QUILLMOR_REGION_MMIO,
    Reserved = QUILLMOR_REGION_RESERVED,
    BadMemory = QUILLMOR_REGION_BAD_MEMORY,
    KernelAndModules = QUILLMOR_REGION_KERNEL_AND_MODULES,
};

// Ranges the kernel must find under their own type. They come from separate
// allocations and so never overlap one another.
class CarveTable {
  public:
    static constexpr uint64_t kCapacity = 8208;

    // False, with nothing changed, when the table is full.
    bool add(uint64_t base, uint64_t length, RegionType type);

    uint64_t count() const { return count_; }
    uint64_t base(uint64_t index) const { return ranges_[index].base; }
    uint64_t length(uint64_t index) const { return ranges_[index].length; }
    RegionType type(uint64_t index) const { return types_[index]; }

    void clear() { count_ = 0; }

  private:
    struct Range {
        uint64_t base;
        uint64_t length;
    };
    Range ranges_[kCapacity] = {};
    RegionType types_[kCapacity] = {};
    uint64_t count_ = 0;
};

// The loader's one carve table.
CarveTable& carve_table();

inline bool add_carve_interval(uint64_t base, uint64_t length, RegionType type) {
    return carve_table().add(base, length, type);
}

RegionType region_type_for(uint32_t firmware_type);

// Appends the entries for [base, base + length), split around the carve
// intervals it overlaps. Each entry that continues the last one (same type,
// starting where it ends) is merged into it as it is written, so the table
// limit counts merged entries. False when the table is full or the range
// overlaps more carve intervals than the scratch space holds.
bool add_region(quillmor_handoff& record, uint64_t base, uint64_t length, RegionType type);

// Merges table neighbours of the same type that touch, in place.
void merge_regions(quillmor_handoff& record);

// True when no page-ledger range overlaps a Usable entry.
bool check_own_pages(const quillmor_handoff& record);

// An entry past the region count, as the record's template has it.
constexpr quillmor_region kUnusedRegion = {0, 0, Reserved, 0};

// Empties the region table back to unused entries.
void clear_regions(quillmor_handoff& record);

enum class RegionTableOutcome : uint8_t {
    Complete,
    TableFull,
    OwnPageUsable,
};

// The region table from one memory-map reading: every descriptor added in
// map order, merged, then checked against the page ledger.
RegionTableOutcome build_region_table(quillmor_handoff& record, const MemoryMap& map);
