// The handoff record the kernel receives: built from a fixed template,
// filled stage by stage, handed over by its direct-map address.
#pragma once

#include "elf/kernel_image.h"

#include <quillmor/handoff.h>
#include <stdint.h>

constexpr uint64_t kHandoffRecordPages = 4;

// The record as it starts: the header, and type Reserved in every region
// entry; zero everywhere else.
const quillmor_handoff& handoff_template();

// Four fresh pages with the template copied over their start and the loader
// identity written. Stops with "交接结构分配失败" when no pages are to be had.
quillmor_handoff* create_handoff_record();

// The direct-map offset and where the kernel was placed.
void record_kernel_placement(quillmor_handoff& record, const LoadPlan& plan);
