#include "mm/processor_view.h"

#include "diag/checked.h"
#include "mm/direct_map.h"

using namespace paging;

namespace {
constexpr uint64_t kCr4FiveLevelPaging = 1ull << 12; // CR4.LA57
} // namespace

ProcessorView read_processor_view() {
    return {{descriptor_table_range(arch::read_gdtr()), descriptor_table_range(arch::read_idtr())},
            (arch::read_cr4() & kCr4FiveLevelPaging) != 0};
}

IdentityRange descriptor_table_range(arch::DescriptorTableRegister table) {
    const uint64_t length = checked_add(table.limit, 1);
    uint64_t end;
    if (!try_add(table.base, length, end) || end > kDirectMapPhysicalLimit) {
        return {table.base, 0};
    }
    return {table.base, length};
}

bool map_descriptor_tables(PageTableBuilder& builder, const ProcessorView& view) {
    for (const IdentityRange& table : view.descriptor_tables) {
        if (!map_range(builder, table.base, table.base, table.length)) {
            return false;
        }
    }
    return true;
}

uint64_t add_five_level_root(PageTableBuilder& builder) {
    if (builder.root == 0) {
        return 0;
    }
    const Allocation page = builder.source.allocate_pages(builder.source.context, 1);
    if (!page.ok()) {
        builder.out_of_pages = true;
        return 0;
    }
    uint64_t* table = pointer_at<uint64_t>(page.address);
    __builtin_memset(table, 0, page.length);
    table[0] = builder.root | kEntryFlags;
    table[kEntriesPerTable - 1] = builder.root | kEntryFlags;
    return page.address;
}
