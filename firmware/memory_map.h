// Readings of the firmware memory map. The loader reads it twice into one
// buffer: the first reading is what the page tables map, the second is what
// the region table describes and whose key leaves the boot services.
#pragma once

#include "diag/result.h"
#include "uefi/uefi.h"

#include <stdint.h>

enum class MemoryMapError : uint8_t {
    BufferTooSmall,
    InvalidParameter,
    Unexpected,
};

struct MemoryMapQuery {
    uint64_t map_key;
    uint64_t descriptor_size;
    uint64_t descriptor_count;
    uint32_t descriptor_version;
};

struct MemoryMap {
    uint64_t map_key;
    uint64_t descriptor_size; // the firmware's stride, never sizeof(EFI_MEMORY_DESCRIPTOR)
    uint64_t descriptor_count;
    uint32_t descriptor_version;
    uint64_t descriptors; // address of the buffer that holds this reading
};

// The fields the loader uses of a descriptor.
struct MemoryDescriptor {
    uint32_t type;
    uint64_t physical_start;
    uint64_t page_count;
    uint64_t attribute;
};

// EFI_MEMORY_RUNTIME: the firmware's runtime services use the range.
constexpr uint64_t kMemoryRuntime = 1ull << 63;

// Asks for the map's size with an empty buffer.
Result<MemoryMapQuery, MemoryMapError> query_memory_map(EFI_GET_MEMORY_MAP get_memory_map);

// Reads the map into `buffer`, which holds `capacity` bytes.
Result<MemoryMap, MemoryMapError> read_memory_map(EFI_GET_MEMORY_MAP get_memory_map,
                                                  uint64_t buffer, uint64_t capacity);

// Room for the queried map and `extra_descriptors` more: the map grows by
// the loader's own allocations between the query and the readings.
uint64_t memory_map_capacity(const MemoryMapQuery& query, uint64_t extra_descriptors);

// Descriptor `index` of a reading, at buffer + index × descriptor size.
MemoryDescriptor memory_descriptor(const MemoryMap& map, uint64_t index);

// True when the reading has descriptors to walk.
inline bool has_descriptors(const MemoryMap& map) {
    return map.descriptor_count != 0 && map.descriptors != 0;
}
