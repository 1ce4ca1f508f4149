// The extension block: the firmware's own tables, the memory map the boot
// services were left with, the command line and the loader's timing, in the
// record's own pages after the record.
#pragma once

#include "firmware/memory_map.h"
#include "uefi/uefi.h"

#include <quillmor/handoff.h>
#include <stdint.h>

// Clears the block, writes its header and the command line's address, and
// points the record's `extension` to it. Nothing is allocated.
quillmor_extension& create_extension(quillmor_handoff& record);

// The system table and the SMBIOS entry points from its configuration table.
void record_firmware_tables(quillmor_extension& extension, const EFI_SYSTEM_TABLE* system_table);

// The reading whose key left the boot services, as it lies in its buffer.
void record_exit_map(quillmor_extension& extension, const MemoryMap& map);
