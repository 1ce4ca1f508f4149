// The pages the jump itself stands on: the code that loads CR3 and jumps,
// the stack the kernel inherits and the record RDI points to. The memory map
// normally covers them, but an empty or short one does not, and tables
// without them fault at the CR3 load.
#pragma once

#include "mm/page_table_builder.h"
#include "mm/processor_view.h"

#include <quillmor/handoff.h>

#include <stdint.h>

// The record's bytes with its extension block, which lies in its pages.
constexpr uint64_t kRecordWithExtensionBytes =
    QUILLMOR_EXTENSION_OFFSET + sizeof(quillmor_extension);

// What the extension block and the record point the kernel to, mapped in the
// direct map whatever the firmware calls the memory: the memory-map buffer,
// the ACPI RSDP and the SMBIOS 3.0 and 2.1 entry points.
constexpr uint64_t kFirmwareDataRanges = 4;

struct HandoverPages {
    IdentityRange code;  // identity
    IdentityRange stack; // identity
    uint64_t record;     // physical address of the handoff record; direct map
    IdentityRange firmware_data[kFirmwareDataRanges]; // physical; direct map
};

// UEFI promises an application at least 128 KiB of stack. Taken from the
// stack pointer at the loader's entry, above everything the loader and the
// kernel's first pushes use, down to 128 KiB below it (or to 0).
constexpr uint64_t kFirmwareStackBytes = 128 * 1024;
IdentityRange stack_window(uint64_t entry_stack_pointer);

// Maps them explicitly, whatever else maps them already. False when the code
// or the stack has no identity address (it does not lie below 2^47) or a
// table page could not be had. Firmware data without a direct-map address is
// skipped: the kernel finds its address, not mapped.
bool map_handover_pages(PageTableBuilder& builder, const HandoverPages& pages);
