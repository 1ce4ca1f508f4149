// Leaving the firmware and entering the kernel.
#pragma once

#include "boot/handoff_record.h"
#include "firmware/memory_map.h"
#include "uefi/uefi.h"

#include <stdint.h>

struct Handover {
    EFI_BOOT_SERVICES* boot_services; // as read once at the start of the sequence
    uint64_t memory_map_capacity;     // the buffer of the readings, for a re-read
    MemoryMap final_map;              // the reading whose key leaves boot services
    quillmor_handoff* record;
    quillmor_extension* extension; // in the record's pages
    uint64_t page_table_root;
    uint64_t entry_point;
};

// Writes the handoff line, exits boot services, loads CR3 and jumps to the
// kernel with the record's direct-map address in RDI. The extension block
// gets the reading the exit succeeded with and the time stamp counter.
//
// A firmware whose map changed since the last reading refuses the exit; the
// map is then read once more into the same buffer, the region table rebuilt
// from it, and the exit tried once more with the new key.
[[noreturn]] void hand_over(const Handover& handover);
