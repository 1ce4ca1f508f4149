#include "boot/handoff_record.h"

#include "boot/platform_facts.h"
#include "diag/checked.h"
#include "diag/stop.h"
#include "firmware/allocator.h"
#include "mm/direct_map.h"
#include "mm/region_table.h"

namespace {

consteval quillmor_handoff make_handoff_template() {
    quillmor_handoff record = {};
    constexpr char kMagic[] = QUILLMOR_HANDOFF_MAGIC_TEXT;
    for (uint64_t i = 0; i < sizeof(record.magic); ++i) {
        record.magic[i] = kMagic[i];
    }
    record.version = QUILLMOR_HANDOFF_VERSION;
    record.size = QUILLMOR_HANDOFF_SIZE;
    for (quillmor_region& region : record.regions) {
        region = kUnusedRegion;
    }
    return record;
}

constinit const quillmor_handoff kTemplate = make_handoff_template();

} // namespace

const quillmor_handoff& handoff_template() {
    return kTemplate;
}

quillmor_handoff* create_handoff_record() {
    const Allocation pages = alloc_pages(kHandoffRecordPages);
    if (!pages.ok()) {
        fatal_stop("交接结构分配失败");
    }
    // The rest of the fourth page is left as the firmware handed it over.
    auto* record = pointer_at<quillmor_handoff>(pages.address);
    copy_bytes(record, &kTemplate, sizeof(kTemplate));
    set_loader_identity(*record);
    return record;
}

void record_kernel_placement(quillmor_handoff& record, const LoadPlan& plan) {
    record.direct_map_offset = kDirectMapOffset;
    record.kernel_physical_base = plan.physical_base;
    record.kernel_virtual_base = plan.virtual_base;
}

void add_record_entries(quillmor_handoff& record, uint64_t ramdisk_physical,
                        uint64_t ramdisk_length) {
    if (!add_boot_processor(record)) {
        fatal_stop("CPU 表满");
    }
    if (!add_ramdisk_module(record, direct_map_address(ramdisk_physical), ramdisk_length)) {
        fatal_stop("模块表满");
    }
}
