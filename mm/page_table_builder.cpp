#include "mm/page_table_builder.h"

#include "diag/checked.h"
#include "diag/serial.h"

using namespace paging;

namespace {

// Bit n set: firmware type n is mapped. RAM-like types 1-4, 7, 9, 10 and 14;
// runtime-services code and data (5, 6), which a kernel may call into before
// it builds tables of its own; and unaccepted memory (15), which the firmware
// turns into conventional memory while boot services end, after the tables
// are built.
constexpr uint64_t kMappedMemoryTypes = 0xc6fe;
constexpr uint32_t kHighestMappedType = 15;
constexpr uint64_t kLastPage = ~kPageMask;

Allocation allocate_from_firmware(void*, uint64_t page_count) {
    return alloc_pages(page_count);
}

uint64_t* table_at(uint64_t address) {
    return pointer_at<uint64_t>(address);
}

// The table that `table[index]` points to, created when the entry is empty.
// Null when the entry maps a large page or no page could be had.
uint64_t* next_level(PageTableBuilder& builder, uint64_t* table, uint64_t index) {
    const uint64_t entry = table[index];
    if ((entry & kPresent) != 0) {
        if ((entry & kLargePage) != 0) {
            return nullptr;
        }
        return table_at(entry & kAddressMask);
    }
    const Allocation page = builder.source.allocate_pages(builder.source.context, 1);
    if (!page.ok()) {
        builder.out_of_pages = true;
        return nullptr;
    }
    uint64_t* fresh = table_at(page.address);
    __builtin_memset(fresh, 0, page.length);
    table[index] = page.address | kEntryFlags;
    return fresh;
}

uint64_t* level1_table_for(PageTableBuilder& builder, uint64_t virtual_address) {
    constexpr unsigned kUpperLevelShifts[] = {kLevel4Shift, kLevel3Shift, kLevel2Shift};
    uint64_t* table = table_at(builder.root);
    for (const unsigned shift : kUpperLevelShifts) {
        table = next_level(builder, table, table_index(virtual_address, shift));
        if (table == nullptr) {
            return nullptr;
        }
    }
    return table;
}

// Writes `count` consecutive leaves from `first`, advancing the physical
// cursor one page per leaf. Advancing past the last page of the 64-bit space
// is an overflow, detected exactly where a page-by-page walk would meet it.
uint64_t fill_leaves(uint64_t* first, uint64_t count, uint64_t physical) {
    const uint64_t advances_left = (kLastPage - physical) / kPageSize;
    const bool overflows = count > advances_left;
    const uint64_t writable = overflows ? advances_left + 1 : count;
    for (uint64_t i = 0; i < writable; ++i) {
        first[i] = (physical + i * kPageSize) | kEntryFlags;
    }
    if (overflows) {
        fail_integer_overflow();
    }
    return physical + count * kPageSize;
}

void log_identity_failure(uint64_t base, uint64_t length, uint32_t type, bool out_of_pages) {
    serial_write("[quillmor] 恒等映射失败 base=");
    serial_write_hex(base);
    serial_write(" len=");
    serial_write_hex(length);
    serial_write(" 类型=");
    serial_write_dec(type);
    serial_write(" 表耗尽=");
    serial_write_dec(out_of_pages ? 1 : 0);
    serial_write(kLineEnd);
}

void log_direct_map_failure(uint64_t base, uint64_t length) {
    serial_write("[quillmor] HHDM 映射失败 base=");
    serial_write_hex(base);
    serial_write(" len=");
    serial_write_hex(length);
    serial_write(kLineEnd);
}

} // namespace

PageSource firmware_page_source() {
    return {allocate_from_firmware, nullptr};
}

PageTableBuilder create_page_table_root() {
    const Allocation root = alloc_pages(1);
    if (!root.ok()) {
        return {0, firmware_page_source(), true};
    }
    __builtin_memset(table_at(root.address), 0, kPageSize);
    return {root.address, firmware_page_source(), false};
}

bool map_range(PageTableBuilder& builder, uint64_t virtual_start, uint64_t physical_start,
               uint64_t length) {
    if (builder.root == 0) {
        return false;
    }
    const uint64_t end = page_align_up(checked_add(virtual_start, length));
    // Rounding would turn an empty range at an unaligned start into a page.
    if (length == 0) {
        return true;
    }
    uint64_t page = page_align_down(virtual_start);
    uint64_t physical = page_align_down(physical_start);
    // One walk from the root per level-1 table; its leaves are then written
    // in one run. The upper tables on the path are the same for every page of
    // the run, so this builds exactly what a walk per page would.
    while (page < end) {
        uint64_t* table = level1_table_for(builder, page);
        if (table == nullptr) {
            return false;
        }
        const uint64_t first = table_index(page, kLevel1Shift);
        const uint64_t pages_left = (end - page) / kPageSize;
        const uint64_t run =
            pages_left < kEntriesPerTable - first ? pages_left : kEntriesPerTable - first;
        physical = fill_leaves(table + first, run, physical);
        page += run * kPageSize;
    }
    return true;
}

bool is_mapped_memory_type(uint32_t firmware_type) {
    return firmware_type <= kHighestMappedType && ((kMappedMemoryTypes >> firmware_type) & 1) != 0;
}

bool map_physical_memory(PageTableBuilder& builder, const MemoryMap& map) {
    if (!has_descriptors(map)) {
        return true;
    }
    for (uint64_t index = 0; index < map.descriptor_count; ++index) {
        const MemoryDescriptor descriptor = memory_descriptor(map, index);
        const uint64_t length = pages_to_bytes(descriptor.page_count);
        if (length == 0 || !is_mapped_memory_type(descriptor.type)) {
            continue;
        }
        const uint64_t base = descriptor.physical_start;
        if (!map_range(builder, base, base, length)) {
            log_identity_failure(base, length, descriptor.type, builder.out_of_pages);
            return false;
        }
        if (!map_range(builder, direct_map_address(base), base, length)) {
            log_direct_map_failure(base, length);
            return false;
        }
    }
    return true;
}

bool map_kernel_image(PageTableBuilder& builder, const LoadPlan& plan) {
    return map_range(builder, plan.virtual_base, plan.physical_base, plan.image_size);
}

bool map_framebuffer(PageTableBuilder& builder, quillmor_handoff& record) {
    const uint64_t physical = record.framebuffer_address;
    const uint64_t virtual_address = direct_map_address(physical);
    const uint64_t size = static_cast<uint64_t>(record.framebuffer_height) *
                          static_cast<uint64_t>(record.framebuffer_pitch);
    if (!map_range(builder, virtual_address, physical, size)) {
        return false;
    }
    record.framebuffer_address = virtual_address;
    return true;
}
