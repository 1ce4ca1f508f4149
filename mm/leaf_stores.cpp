#include "mm/leaf_stores.h"

#include "diag/checked.h"

namespace {

constexpr uint64_t kLeavesPerTable = 512;
constexpr uint64_t kLeavesPerLine = 8; // 64-byte cache lines

// The leaves of a range take a 512th of its size. From a 2 GiB range on
// (4 MiB of leaves) they outgrow what a core's caches keep, so every line
// would be fetched for ownership only to be written back; streaming stores
// skip the fetch. The leaves of smaller ranges stay in the cache, where
// ordinary stores are quicker.
constexpr uint64_t kStreamingRangePages = (2ull << 30) / kPageSize;

// MOVNTI stores a general register, so the image stays free of vector
// registers. The Intel SDM has MOVNTI raise #UD only when CPUID.01H:EDX.SSE2
// is 0 (or with a LOCK prefix) and SFENCE only when CPUID.01H:EDX.SSE is 0,
// and its CR4.OSFXSR description (Vol. 3A, 2.5) exempts both from the #UD
// that SSE instructions raise while OSFXSR is clear: firmware that never
// enabled SSE can run them. Every x86-64 processor has SSE and SSE2.
inline void store_streaming(uint64_t* to, uint64_t value) {
    asm volatile("movnti %1, %0" : "=m"(*to) : "r"(value));
}

} // namespace

void write_leaves(uint64_t* entries, uint64_t count, uint64_t first_entry, uint64_t range_pages) {
    // A whole table is page-aligned: its 64 lines are each filled completely.
    if (count == kLeavesPerTable && range_pages >= kStreamingRangePages) {
        for (uint64_t line = 0; line < count; line += kLeavesPerLine) {
            const uint64_t line_entry = first_entry + line * kPageSize;
            for (uint64_t i = 0; i < kLeavesPerLine; ++i) {
                store_streaming(entries + line + i, line_entry + i * kPageSize);
            }
        }
        return;
    }
    for (uint64_t i = 0; i < count; ++i) {
        entries[i] = first_entry + i * kPageSize;
    }
}

void make_leaf_stores_visible() {
    // Streaming stores are weakly ordered; SFENCE puts them before every
    // later store, the CR3 load and the kernel's first page walk included.
    asm volatile("sfence" ::: "memory");
}
