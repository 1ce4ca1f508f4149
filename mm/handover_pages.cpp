#include "mm/handover_pages.h"

#include "diag/checked.h"
#include "mm/direct_map.h"

#include <quillmor/handoff.h>

namespace {

bool map_identity(PageTableBuilder& builder, const IdentityRange& range) {
    return range.length == 0 || (fits_direct_map(range.base, range.length) &&
                                 map_range(builder, range.base, range.base, range.length));
}

} // namespace

IdentityRange stack_window(uint64_t entry_stack_pointer) {
    const uint64_t base =
        entry_stack_pointer > kFirmwareStackBytes ? entry_stack_pointer - kFirmwareStackBytes : 0;
    return {base, entry_stack_pointer - base};
}

bool map_handover_pages(PageTableBuilder& builder, const HandoverPages& pages) {
    if (!map_identity(builder, pages.code) || !map_identity(builder, pages.stack) ||
        !map_range(builder, direct_map_address(pages.record), pages.record,
                   kRecordWithExtensionBytes)) {
        return false;
    }
    for (const IdentityRange& data : pages.firmware_data) {
        if (data.length != 0 && fits_direct_map(data.base, data.length) &&
            !map_range(builder, direct_map_address(data.base), data.base, data.length)) {
            return false;
        }
    }
    return true;
}
