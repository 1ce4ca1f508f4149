// The x86-64 four-level page tables the kernel starts on: 4 KiB leaves only,
// every entry present and writable and nothing else. Tables are written
// through their physical addresses, which the firmware maps one to one.
#pragma once

#include "elf/kernel_image.h"
#include "firmware/allocator.h"
#include "firmware/memory_map.h"
#include "mm/direct_map.h"

#include <quillmor/handoff.h>

#include <stdint.h>

namespace paging {
constexpr uint64_t kEntriesPerTable = 512;
constexpr uint64_t kPresent = 1ull << 0;
constexpr uint64_t kWritable = 1ull << 1;
constexpr uint64_t kLargePage = 1ull << 7; // only ever tested, never set
constexpr uint64_t kAddressMask = 0x000ffffffffff000ull;
constexpr uint64_t kEntryFlags = kPresent | kWritable;

// Bit position of the lowest virtual-address bit that indexes each level.
constexpr unsigned kLevel1Shift = 12;
constexpr unsigned kLevel2Shift = 21;
constexpr unsigned kLevel3Shift = 30;
constexpr unsigned kLevel4Shift = 39;

inline uint64_t table_index(uint64_t virtual_address, unsigned shift) {
    return (virtual_address >> shift) & (kEntriesPerTable - 1);
}
} // namespace paging

// Where the builder's table pages come from. It always asks for one page.
struct PageSource {
    Allocation (*allocate_pages)(void* context, uint64_t page_count);
    void* context;
};

// The firmware's page allocator as a page source.
PageSource firmware_page_source();

struct PageTableBuilder {
    uint64_t root; // physical address of the level-4 table; 0 if it could not be had
    PageSource source;
    bool out_of_pages; // set once the source failed; never reset
};

// A zero-filled root from the firmware, with the firmware as page source.
// On failure: root 0 and out_of_pages set.
PageTableBuilder create_page_table_root();

// Maps the pages covering [virtual_start, virtual_start + length) to
// consecutive physical pages from the one holding physical_start. Existing
// leaves are overwritten; tables are created on demand and reused. False when
// a table page could not be had (out_of_pages set) or a large page was found
// on the way (out_of_pages unchanged).
bool map_range(PageTableBuilder& builder, uint64_t virtual_start, uint64_t physical_start,
               uint64_t length);

// The one list of the firmware memory types the kernel's tables map (in the
// identity and the direct map); the builder and the table-page estimate both
// ask it.
bool is_mapped_memory_type(uint32_t firmware_type);

// Where a descriptor's pages are mapped: RAM-like types at their own address
// and in the direct map; other types the runtime services use
// (EFI_MEMORY_RUNTIME, their flash and RTC registers) at their own address
// only, below 2^47; everything else nowhere. The builder and the table-page
// estimate both ask this, so they cannot disagree.
struct DescriptorMappings {
    bool identity;
    bool direct_map;
};
DescriptorMappings descriptor_mappings(const MemoryDescriptor& descriptor);

// Identity and direct-map mappings of every RAM-like descriptor, and the
// identity mapping of every other descriptor the runtime services use (their
// flash and RTC registers), in map order. On failure it has written its own
// diagnostic line.
bool map_physical_memory(PageTableBuilder& builder, const MemoryMap& map);

// The kernel image at its link addresses, onto the landing area.
bool map_kernel_image(PageTableBuilder& builder, const LoadPlan& plan);

// The framebuffer in the direct map; on success the record's framebuffer
// address becomes that direct-map address.
bool map_framebuffer(PageTableBuilder& builder, quillmor_handoff& record);
