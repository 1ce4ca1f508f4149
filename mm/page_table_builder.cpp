#include "mm/page_table_builder.h"

#include "diag/checked.h"
#include "diag/serial.h"
#include "mm/leaf_stores.h"

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
// A new table is cleared except for its first `written_next` bytes, which the
// caller writes in full right after, so that each of its bytes is stored once.
// Null when the entry maps a large page or no page could be had.
uint64_t* next_level(PageTableBuilder& builder, uint64_t* table, uint64_t index,
                     uint64_t written_next = 0) {
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
    if (page.length > written_next) {
        __builtin_memset(fresh + written_next / sizeof(uint64_t), 0, page.length - written_next);
    }
    table[index] = page.address | kEntryFlags;
    return fresh;
}

// The level-1 table for `virtual_address`; `whole` when all its entries are
// about to be written.
uint64_t* level1_table_for(PageTableBuilder& builder, uint64_t virtual_address, bool whole) {
    constexpr unsigned kShiftsAboveLevel2[] = {kLevel4Shift, kLevel3Shift};
    uint64_t* table = table_at(builder.root);
    for (const unsigned shift : kShiftsAboveLevel2) {
        table = next_level(builder, table, table_index(virtual_address, shift));
        if (table == nullptr) {
            return nullptr;
        }
    }
    return next_level(builder, table, table_index(virtual_address, kLevel2Shift),
                      whole ? kPageSize : 0);
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
    const uint64_t start = page_align_down(virtual_start);
    const uint64_t physical = page_align_down(physical_start);
    // When the physical cursor would pass 2^64, a walk per page writes the
    // leaf of the last page and then fails: the same leaves are written here
    // before the same failure, so a table that skips its clear is always
    // written whole.
    const uint64_t pages = (end - start) / kPageSize;
    const uint64_t advances_left = (kLastPage - physical) / kPageSize;
    const bool cursor_overflows = pages > advances_left;
    const uint64_t writable = cursor_overflows ? advances_left + 1 : pages;
    // One walk from the root per level-1 table; its leaves are then written
    // in one run. The upper tables on the path are the same for every page of
    // the run, so this builds exactly what a walk per page would.
    for (uint64_t done = 0; done < writable;) {
        const uint64_t page = start + done * kPageSize;
        const uint64_t first = table_index(page, kLevel1Shift);
        const uint64_t room = kEntriesPerTable - first;
        const uint64_t run = writable - done < room ? writable - done : room;
        uint64_t* table = level1_table_for(builder, page, run == kEntriesPerTable);
        if (table == nullptr) {
            make_leaf_stores_visible();
            return false;
        }
        write_leaves(table + first, run, (physical + done * kPageSize) | kEntryFlags, writable);
        done += run;
    }
    make_leaf_stores_visible();
    if (cursor_overflows) {
        fail_integer_overflow();
    }
    return true;
}

bool is_mapped_memory_type(uint32_t firmware_type) {
    return firmware_type <= kHighestMappedType && ((kMappedMemoryTypes >> firmware_type) & 1) != 0;
}

DescriptorMappings descriptor_mappings(const MemoryDescriptor& descriptor) {
    if (is_mapped_memory_type(descriptor.type)) {
        return {true, true};
    }
    // Only below 2^47 is there a lower-half identity address: the tables
    // index bits 12..47, so a range above would land on the direct map.
    uint64_t length;
    const bool runtime = (descriptor.attribute & kMemoryRuntime) != 0 &&
                         try_mul(descriptor.page_count, kPageSize, length) &&
                         fits_direct_map(descriptor.physical_start, length);
    return {runtime, false};
}

bool map_physical_memory(PageTableBuilder& builder, const MemoryMap& map) {
    if (!has_descriptors(map)) {
        return true;
    }
    for (uint64_t index = 0; index < map.descriptor_count; ++index) {
        const MemoryDescriptor descriptor = memory_descriptor(map, index);
        const uint64_t length = pages_to_bytes(descriptor.page_count);
        const DescriptorMappings mappings = descriptor_mappings(descriptor);
        if (length == 0 || !mappings.identity) {
            continue;
        }
        const uint64_t base = descriptor.physical_start;
        if (!map_range(builder, base, base, length)) {
            log_identity_failure(base, length, descriptor.type, builder.out_of_pages);
            return false;
        }
        if (!mappings.direct_map) {
            continue;
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
