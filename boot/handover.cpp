#include "boot/handover.h"

#include "arch/arch.h"
#include "boot/extension_block.h"
#include "boot/region_stage.h"
#include "diag/serial.h"
#include "diag/stop.h"
#include "mm/direct_map.h"
#include "mm/region_table.h"
#include "uefi/loader_globals.h"

namespace {

// After a refused exit only GetMemoryMap and ExitBootServices may be used:
// the map is re-read into the buffer it already has, nothing is allocated,
// and no line is written unless the boot stops.
MemoryMap refresh_after_refused_exit(const Handover& handover) {
    const auto reading =
        read_memory_map(handover.boot_services->GetMemoryMap, handover.final_map.descriptors,
                        handover.memory_map_capacity);
    if (!reading.ok()) {
        fatal_stop("取内存图内容失败（第二轮）");
    }
    clear_regions(*handover.record);
    build_regions_or_stop(*handover.record, reading.value());
    return reading.value();
}

} // namespace

void hand_over(const Handover& handover) {
    const uint64_t handoff_pointer = direct_map_address(address_of(handover.record));
    serial_write("[quillmor] 退出引导服务，交接给内核（交接结构=");
    serial_write_hex(handoff_pointer);
    serial_write("）\r\n");

    EFI_BOOT_SERVICES* boot_services = handover.boot_services;
    EFI_HANDLE image = loader_image_handle();
    note_exit_boot_services_called();
    // Written before each try: after the exit nothing may fail.
    record_exit_map(*handover.extension, handover.final_map);
    if (boot_services->ExitBootServices(image, handover.final_map.map_key) != EFI_SUCCESS) {
        const MemoryMap refreshed = refresh_after_refused_exit(handover);
        record_exit_map(*handover.extension, refreshed);
        if (boot_services->ExitBootServices(image, refreshed.map_key) != EFI_SUCCESS) {
            fatal_stop("退出引导服务失败");
        }
    }
    handover.extension->tsc_at_handover = arch::read_tsc();
    arch::enter_kernel(handover.page_table_root, handoff_pointer, handover.entry_point);
}
