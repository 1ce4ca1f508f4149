// The higher-half direct map: physical address p is reachable at
// 0xffff800000000000 + p in the kernel's tables.
#pragma once

#include "diag/checked.h"

#include <quillmor/handoff.h>
#include <stdint.h>

constexpr uint64_t kDirectMapOffset = QUILLMOR_DIRECT_MAP_OFFSET;

// Physical addresses below 2^47 have a direct-map address, and an identity
// address in the lower canonical half.
constexpr uint64_t kDirectMapPhysicalLimit = 1ull << 47;

// True when [base, base + length) can be mapped into the direct map: its
// bytes have direct-map addresses, and so does the page-rounded end that a
// mapping forms (the direct map's top page has no end address in 64 bits).
inline bool fits_direct_map(uint64_t base, uint64_t length) {
    uint64_t end;
    return try_add(base, length, end) && try_add(end, kPageMask, end) &&
           (end & ~kPageMask) < kDirectMapPhysicalLimit;
}

// Physical addresses below 2^47 have a direct-map address; adding the offset
// to any other overflows, and that is a check failure.
inline uint64_t direct_map_address(uint64_t physical) {
    return checked_add(physical, kDirectMapOffset);
}
