// The higher-half direct map: physical address p is reachable at
// 0xffff800000000000 + p in the kernel's tables.
#pragma once

#include "diag/checked.h"

#include <quillmor/handoff.h>
#include <stdint.h>

constexpr uint64_t kDirectMapOffset = QUILLMOR_DIRECT_MAP_OFFSET;

// Physical addresses below 2^47 have a direct-map address; adding the offset
// to any other overflows, and that is a check failure.
inline uint64_t direct_map_address(uint64_t physical) {
    return checked_add(physical, kDirectMapOffset);
}
