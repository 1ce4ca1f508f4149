// Small helpers for reading the handoff record the loader passed in RDI.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <quillmor/handoff.h>

// A table of the record with its count clamped to the table's capacity, so a
// damaged count can never send a loop past the end of the record.
template <typename Entry> struct Table {
    const Entry* entries;
    uint32_t count;

    const Entry* begin() const { return entries; }
    const Entry* end() const { return entries + count; }
};

inline uint32_t clamp_count(uint32_t count, uint32_t capacity) {
    return count < capacity ? count : capacity;
}

inline Table<quillmor_region> regions(const quillmor_handoff& record) {
    return {record.regions, clamp_count(record.region_count, QUILLMOR_MAX_REGIONS)};
}

inline Table<quillmor_module> modules(const quillmor_handoff& record) {
    return {record.modules, clamp_count(record.module_count, QUILLMOR_MAX_MODULES)};
}

inline Table<quillmor_processor> processors(const quillmor_handoff& record) {
    return {record.processors, clamp_count(record.processor_count, QUILLMOR_MAX_PROCESSORS)};
}

// Physical memory is reached through the direct map: physical address p is
// at virtual address p + the record's direct-map offset.
template <typename T = uint8_t>
inline const volatile T* direct_map(const quillmor_handoff& record, uint64_t physical) {
    return reinterpret_cast<const volatile T*>(record.direct_map_offset + physical);
}

// The region that holds `physical`, or nullptr.
inline const quillmor_region* region_containing(const quillmor_handoff& record, uint64_t physical) {
    for (const quillmor_region& region : regions(record)) {
        if (physical >= region.base && physical - region.base < region.length) {
            return &region;
        }
    }
    return nullptr;
}

inline const char* region_type_name(uint32_t type) {
    switch (type) {
    case QUILLMOR_REGION_USABLE:
        return "usable";
    case QUILLMOR_REGION_BOOT_RECLAIMABLE:
        return "boot reclaimable";
    case QUILLMOR_REGION_ACPI_RECLAIMABLE:
        return "ACPI reclaimable";
    case QUILLMOR_REGION_ACPI_NVS:
        return "ACPI NVS";
    case QUILLMOR_REGION_MMIO:
        return "MMIO";
    case QUILLMOR_REGION_RESERVED:
        return "reserved";
    case QUILLMOR_REGION_BAD_MEMORY:
        return "bad memory";
    case QUILLMOR_REGION_KERNEL_AND_MODULES:
        return "kernel and modules";
    default:
        return "unknown type";
    }
}
