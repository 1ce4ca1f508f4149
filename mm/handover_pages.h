// The pages the jump itself stands on: the code that loads CR3 and jumps,
// the stack the kernel inherits and the record RDI points to. The memory map
// normally covers them, but an empty or short one does not, and tables
// without them fault at the CR3 load.
#pragma once

#include "mm/page_table_builder.h"
#include "mm/processor_view.h"

#include <stdint.h>

struct HandoverPages {
    IdentityRange code;  // identity
    IdentityRange stack; // identity
    uint64_t record;     // physical address of the handoff record; direct map
};

// UEFI promises an application at least 128 KiB of stack. Taken from the
// stack pointer at the loader's entry, above everything the loader and the
// kernel's first pushes use, down to 128 KiB below it (or to 0).
constexpr uint64_t kFirmwareStackBytes = 128 * 1024;
IdentityRange stack_window(uint64_t entry_stack_pointer);

// Maps them explicitly, whatever else maps them already. False when a range
// has no identity address (it does not lie below 2^47) or a table page could
// not be had.
bool map_handover_pages(PageTableBuilder& builder, const HandoverPages& pages);
