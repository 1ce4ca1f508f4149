// A kernel linked inside the direct map would share virtual pages with
// memory the loader maps there: whichever mapping came later would replace
// the other's leaves, and the kernel would run on video memory or find its
// record overwritten.
#pragma once

#include "elf/kernel_image.h"
#include "firmware/memory_map.h"
#include "mm/handover_pages.h"

#include <quillmor/handoff.h>

#include <stdint.h>

// True when the kernel's virtual span meets a direct-map page the loader will
// map: RAM of every mapped type in `map`, the framebuffer the record
// describes (by its physical address, before it is mapped), the record's
// own pages and the firmware data of `handover`.
bool kernel_meets_direct_map(const MemoryMap& map, const LoadPlan& plan,
                             const quillmor_handoff& record, const HandoverPages& handover);
