#include "mm/processor_view.h"

#include "diag/checked.h"
#include "mm/direct_map.h"

using namespace paging;

namespace {
constexpr uint64_t kCr4FiveLevelPaging = 1ull << 12; // CR4.LA57
constexpr uint32_t kCpuidFeatures = 1;
constexpr uint32_t kCpuidEdxApic = 1u << 9;
constexpr uint32_t kApicBaseMsr = 0x1b; // IA32_APIC_BASE
constexpr uint64_t kHalfEntries = kEntriesPerTable / 2;

// Without CPUID.01H:EDX.APIC the register does not exist and RDMSR faults.
IdentityRange local_apic_page() {
    if ((arch::cpuid(kCpuidFeatures, 0).edx & kCpuidEdxApic) == 0) {
        return {0, 0};
    }
    const uint64_t base = arch::read_msr(kApicBaseMsr) & kAddressMask;
    return base < kDirectMapPhysicalLimit ? IdentityRange{base, kPageSize} : IdentityRange{base, 0};
}

// A fresh table from the builder's page source holding `table`'s entries
// [first, first + count) and nothing else; 0 when no page could be had.
uint64_t copy_of_entries(PageTableBuilder& builder, const uint64_t* table, uint64_t first,
                         uint64_t count) {
    const Allocation page = builder.source.allocate_pages(builder.source.context, 1);
    if (!page.ok()) {
        builder.out_of_pages = true;
        return 0;
    }
    uint64_t* copy = pointer_at<uint64_t>(page.address);
    __builtin_memset(copy, 0, page.length);
    for (uint64_t index = first; index < first + count; ++index) {
        copy[index] = table[index];
    }
    return page.address;
}
} // namespace

ProcessorView read_processor_view() {
    return {{descriptor_table_range(arch::read_gdtr()), descriptor_table_range(arch::read_idtr())},
            local_apic_page(),
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

bool map_processor_pages(PageTableBuilder& builder, const ProcessorView& view) {
    for (const IdentityRange& table : view.descriptor_tables) {
        if (!map_range(builder, table.base, table.base, table.length)) {
            return false;
        }
    }
    return map_range(builder, view.local_apic.base, view.local_apic.base, view.local_apic.length);
}

uint64_t add_five_level_root(PageTableBuilder& builder) {
    if (builder.root == 0) {
        return 0;
    }
    const uint64_t* four_level = pointer_at<uint64_t>(builder.root);
    const uint64_t lower = copy_of_entries(builder, four_level, 0, kHalfEntries);
    const uint64_t upper =
        lower == 0 ? 0 : copy_of_entries(builder, four_level, kHalfEntries, kHalfEntries);
    const uint64_t root = upper == 0 ? 0 : copy_of_entries(builder, four_level, 0, 0);
    if (root == 0) {
        return 0;
    }
    uint64_t* table = pointer_at<uint64_t>(root);
    table[0] = lower | kEntryFlags;
    table[kEntriesPerTable - 1] = upper | kEntryFlags;
    return root;
}
