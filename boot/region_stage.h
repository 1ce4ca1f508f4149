// The region table stage as the boot sequence runs it: a failure is a stop.
#pragma once

#include "boot/handoff_record.h"
#include "firmware/memory_map.h"

// Builds the record's region table from a memory-map reading; stops with
// "内存区表满" or "自己占的页落在可用区里" when that fails.
void build_regions_or_stop(quillmor_handoff& record, const MemoryMap& map);
