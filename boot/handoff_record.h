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

// The boot processor's entry, then the ramdisk's module entry at the direct-map
// address of `ramdisk_physical`. Stops with "CPU 表满" or "模块表满" when a
// table is full, which in a fresh record neither is.
void add_record_entries(quillmor_handoff& record, uint64_t ramdisk_physical,
                        uint64_t ramdisk_length);
