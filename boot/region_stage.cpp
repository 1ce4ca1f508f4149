#include "boot/region_stage.h"

#include "diag/stop.h"
#include "mm/region_table.h"

void build_regions_or_stop(quillmor_handoff& record, const MemoryMap& map) {
    switch (build_region_table(record, map)) {
    case RegionTableOutcome::Complete:
        return;
    case RegionTableOutcome::TableFull:
        fatal_stop("内存区表满");
    case RegionTableOutcome::OwnPageUsable:
        fatal_stop("自己占的页落在可用区里");
    }
}
