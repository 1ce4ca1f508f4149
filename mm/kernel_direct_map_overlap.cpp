#include "mm/kernel_direct_map_overlap.h"

#include "diag/checked.h"
#include "mm/direct_map.h"
#include "mm/handover_pages.h"
#include "mm/page_table_builder.h"

namespace {

// The kernel's span as physical addresses seen through the direct map,
// [first, end); empty for a kernel in the lower half.
struct PhysicalSpan {
    uint64_t first;
    uint64_t end;
};

PhysicalSpan kernel_span_in_direct_map(const LoadPlan& plan) {
    const uint64_t end = checked_add(plan.virtual_base, plan.image_size);
    if (end <= kDirectMapOffset) {
        return {0, 0};
    }
    const uint64_t first =
        plan.virtual_base > kDirectMapOffset ? plan.virtual_base : kDirectMapOffset;
    return {first - kDirectMapOffset, end - kDirectMapOffset};
}

// The whole pages a mapping of [base, base + length) takes. Ranges without a
// direct-map address stop the mapping itself, so they meet nothing here.
bool meets(const PhysicalSpan& kernel, uint64_t base, uint64_t length) {
    if (length == 0 || !fits_direct_map(base, length)) {
        return false;
    }
    const uint64_t first = page_align_down(base);
    const uint64_t end = page_align_up(checked_add(base, length));
    return first < kernel.end && kernel.first < end;
}

} // namespace

bool kernel_meets_direct_map(const MemoryMap& map, const LoadPlan& plan,
                             const quillmor_handoff& record, const HandoverPages& handover) {
    const PhysicalSpan kernel = kernel_span_in_direct_map(plan);
    if (kernel.first == kernel.end) {
        return false;
    }
    if (has_descriptors(map)) {
        for (uint64_t index = 0; index < map.descriptor_count; ++index) {
            const MemoryDescriptor descriptor = memory_descriptor(map, index);
            uint64_t length;
            if (descriptor_mappings(descriptor).direct_map &&
                try_mul(descriptor.page_count, kPageSize, length) &&
                meets(kernel, descriptor.physical_start, length)) {
                return true;
            }
        }
    }
    for (const IdentityRange& data : handover.firmware_data) {
        if (meets(kernel, data.base, data.length)) {
            return true;
        }
    }
    const uint64_t framebuffer_bytes =
        static_cast<uint64_t>(record.framebuffer_height) * record.framebuffer_pitch;
    return (record.framebuffer_count != 0 &&
            meets(kernel, record.framebuffer_address, framebuffer_bytes)) ||
           meets(kernel, address_of(&record), kRecordWithExtensionBytes);
}
