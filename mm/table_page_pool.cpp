#include "mm/table_page_pool.h"

#include "diag/checked.h"

using namespace paging;

namespace {
// Each level's tables cover 2 MiB, 1 GiB and 512 GiB of virtual space.
constexpr unsigned kSlotShifts[] = {kLevel2Shift, kLevel3Shift, kLevel4Shift};
} // namespace

void TablePageCounter::add_range(uint64_t virtual_start, uint64_t length) {
    const uint64_t start = page_align_down(virtual_start);
    const uint64_t end = page_align_up(checked_add(virtual_start, length));
    if (length == 0 || end <= start) {
        return;
    }
    for (uint64_t level = 0; level < 3; ++level) {
        Level& counted = levels_[level];
        const uint64_t first = start >> kSlotShifts[level];
        const uint64_t last = (end - 1) >> kSlotShifts[level];
        counted.tables += last - first + 1;
        if (counted.seen && counted.last_slot == first) {
            counted.tables -= 1;
        }
        counted.last_slot = last;
        counted.seen = true;
    }
}

uint64_t TablePageCounter::pages() const {
    return checked_add(checked_add(levels_[0].tables, levels_[1].tables), levels_[2].tables);
}

uint64_t estimate_table_pages(const MemoryMap& map, const LoadPlan& plan,
                              const quillmor_handoff& record, const ProcessorView& processor,
                              const HandoverPages& handover) {
    // Each stream is counted on its own, so the interleaving of identity and
    // direct-map ranges does not break the sharing of neighbouring slots.
    TablePageCounter identity;
    TablePageCounter direct_map;
    TablePageCounter others;
    if (has_descriptors(map)) {
        for (uint64_t index = 0; index < map.descriptor_count; ++index) {
            const MemoryDescriptor descriptor = memory_descriptor(map, index);
            // A length that does not fit stops the mapping itself; counting
            // never stops the boot.
            uint64_t length;
            const DescriptorMappings mappings = descriptor_mappings(descriptor);
            if (!try_mul(descriptor.page_count, kPageSize, length) || length == 0 ||
                !mappings.identity) {
                continue;
            }
            identity.add_range(descriptor.physical_start, length);
            if (!mappings.direct_map) {
                continue;
            }
            // Bases without a direct-map address stop the mapping itself.
            uint64_t direct;
            if (try_add(descriptor.physical_start, kDirectMapOffset, direct)) {
                direct_map.add_range(direct, length);
            }
        }
    }
    for (const IdentityRange& table : processor.descriptor_tables) {
        others.add_range(table.base, table.length);
    }
    others.add_range(processor.local_apic.base, processor.local_apic.length);
    others.add_range(plan.virtual_base, plan.image_size);
    if (record.framebuffer_count != 0) {
        uint64_t direct;
        if (try_add(record.framebuffer_address, kDirectMapOffset, direct)) {
            others.add_range(direct, static_cast<uint64_t>(record.framebuffer_height) *
                                         record.framebuffer_pitch);
        }
    }
    others.add_range(handover.code.base, handover.code.length);
    others.add_range(handover.stack.base, handover.stack.length);
    if (handover.record != 0) {
        uint64_t direct;
        if (try_add(handover.record, kDirectMapOffset, direct)) {
            others.add_range(direct, kRecordWithExtensionBytes);
        }
    }
    for (const IdentityRange& data : handover.firmware_data) {
        uint64_t direct;
        if (data.length != 0 && try_add(data.base, kDirectMapOffset, direct)) {
            others.add_range(direct, data.length);
        }
    }
    const uint64_t five_level_root = processor.five_level_paging ? kFiveLevelTablePages : 0;
    return checked_add(checked_add(identity.pages(), direct_map.pages()),
                       checked_add(others.pages(), five_level_root));
}

void TablePagePool::reserve(uint64_t page_count) {
    uint64_t wanted = page_count;
    uint64_t request = page_count;
    while (wanted != 0 && run_count_ < kMaxRuns) {
        const Allocation run = alloc_pages(request);
        if (run.ok()) {
            runs_[run_count_++] = {run.address, checked_add(run.address, run.length)};
            reserved_ += request;
            wanted -= request;
            request = request < wanted ? request : wanted;
        } else if (request == 1) {
            return;
        } else {
            request = (request + 1) / 2;
        }
    }
}

Allocation TablePagePool::take(uint64_t page_count) {
    if (page_count != 1) {
        return {0, 0};
    }
    while (current_ < run_count_ && runs_[current_].next == runs_[current_].end) {
        ++current_;
    }
    if (current_ == run_count_) {
        return {0, 0};
    }
    const uint64_t page = runs_[current_].next;
    runs_[current_].next += kPageSize;
    ++handed_out_;
    return {page, kPageSize};
}

Allocation TablePagePool::take_from(void* pool, uint64_t page_count) {
    return static_cast<TablePagePool*>(pool)->take(page_count);
}

PageSource TablePagePool::source() {
    return {take_from, this};
}
