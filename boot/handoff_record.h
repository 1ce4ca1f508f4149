// The handoff record the kernel receives: built from a fixed template,
// filled stage by stage, handed over by its direct-map address.
#pragma once

#include "diag/checked.h"
#include "elf/kernel_image.h"

#include <quillmor/handoff.h>
#include <stdint.h>

using HandoffRecord = quillmor_handoff;

constexpr uint64_t kDirectMapOffset = QUILLMOR_DIRECT_MAP_OFFSET;
constexpr uint64_t kHandoffRecordPages = 4;

// Physical addresses below 2^47 have a direct-map address; adding the offset
// to any other overflows, and that is a check failure.
inline uint64_t direct_map_address(uint64_t physical) {
    return checked_add(physical, kDirectMapOffset);
}

// The record as it starts: the header, and type Reserved in every region
// entry; zero everywhere else.
const HandoffRecord& handoff_template();

// Four fresh pages with the template copied over their start and the loader
// identity written. Stops with "交接结构分配失败" when no pages are to be had.
HandoffRecord* create_handoff_record();

// The direct-map offset and where the kernel was placed.
void record_kernel_placement(HandoffRecord& record, const LoadPlan& plan);
