#include "boot/boot_sequence.h"

#include "arch/arch.h"
#include "boot/command_line.h"
#include "boot/extension_block.h"
#include "boot/handoff_record.h"
#include "boot/handover.h"
#include "boot/image_seal.h"
#include "boot/kernel_stage.h"
#include "boot/platform_facts.h"
#include "boot/region_stage.h"
#include "diag/checked.h"
#include "diag/serial.h"
#include "diag/stop.h"
#include "elf/kernel_image.h"
#include "firmware/allocator.h"
#include "firmware/file_reader.h"
#include "firmware/memory_map.h"
#include "firmware/open_protocol.h"
#include "firmware/page_ledger.h"
#include "firmware/secure_boot.h"
#include "mm/handover_pages.h"
#include "mm/kernel_direct_map_overlap.h"
#include "mm/page_table_builder.h"
#include "mm/processor_view.h"
#include "mm/region_table.h"
#include "mm/table_page_pool.h"
#include "platform/framebuffer.h"
#include "uefi/loader_globals.h"

namespace {

// The structures the record and the extension block point to: the ACPI 2.0
// RSDP, the SMBIOS 3.0 and 2.1 entry points.
constexpr uint64_t kAcpiRootPointerBytes = 36;
constexpr uint64_t kSmbios3EntryBytes = 24;
constexpr uint64_t kSmbiosEntryBytes = 31;

// Between the size query and the last reading the loader obtains the map
// buffer, the page-table root and up to TablePagePool::kMaxRuns runs of table
// pages (the fifth-level root comes out of those runs). A firmware that
// places an allocation inside a free descriptor splits it in three, so each
// allocation can add two descriptors. The buffer has room for twice that:
// the firmware's own allocations meanwhile (protocol bookkeeping, events)
// split descriptors too.
constexpr uint64_t kDescriptorsPerAllocation = 2;
constexpr uint64_t kAllocationsAfterSizeQuery = 2 + TablePagePool::kMaxRuns;
constexpr uint64_t kMapHeadroom = 2 * kDescriptorsPerAllocation * kAllocationsAfterSizeQuery;

// The firmware's watchdog is meant for boot options that hang; reading a
// large ramdisk from a slow disk must not reset the machine. Nothing depends
// on the outcome, so its status is not looked at.
void disable_watchdog(EFI_BOOT_SERVICES* boot_services) {
    if (boot_services->SetWatchdogTimer != nullptr) {
        boot_services->SetWatchdogTimer(0, 0, 0, nullptr);
    }
}

const EFI_LOADED_IMAGE_PROTOCOL& open_loaded_image() {
    const auto* loaded_image = static_cast<const EFI_LOADED_IMAGE_PROTOCOL*>(
        open_protocol(loader_image_handle(), EFI_LOADED_IMAGE_PROTOCOL_GUID));
    if (loaded_image == nullptr) {
        fatal_stop("取已装载映像协议失败");
    }
    return *loaded_image;
}

// The root directory of the volume the loader itself was loaded from.
EFI_FILE_PROTOCOL* open_boot_volume(const EFI_LOADED_IMAGE_PROTOCOL& loaded_image) {
    auto* file_system = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(
        open_protocol(loaded_image.DeviceHandle, EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID));
    if (file_system == nullptr) {
        fatal_stop("取文件系统协议失败");
    }
    EFI_FILE_PROTOCOL* root = nullptr;
    if (file_system->OpenVolume(file_system, &root) != EFI_SUCCESS || root == nullptr) {
        fatal_stop("打开引导卷失败");
    }
    serial_write("[quillmor] 引导卷已打开\r\n");
    return root;
}

struct MemoryMapBuffer {
    uint64_t address;
    uint64_t capacity;
};

// One buffer serves both readings of the map.
MemoryMapBuffer allocate_memory_map_buffer(EFI_GET_MEMORY_MAP get_memory_map) {
    const auto query = query_memory_map(get_memory_map);
    if (!query.ok()) {
        fatal_stop("取内存图信息失败");
    }
    const uint64_t capacity = memory_map_capacity(query.value(), kMapHeadroom);
    const Allocation buffer = alloc_pool(capacity);
    if (!buffer.ok()) {
        fatal_stop("分配内存图缓冲失败");
    }
    return {buffer.address, capacity};
}

// The kernel's page tables: RAM of the first memory-map reading, the
// processor's pages, the kernel image, the framebuffer, the pages the jump
// stands on. Returns the root for CR3.
uint64_t build_page_tables(const MemoryMap& first_map, const LoadPlan& plan,
                           quillmor_handoff& record, const quillmor_extension& extension,
                           uint64_t map_capacity, uint64_t entry_stack_pointer) {
    const arch::CodeRange code = arch::handover_code();
    const HandoverPages handover = {{code.start, checked_sub(code.end, code.start)},
                                    stack_window(entry_stack_pointer),
                                    address_of(&record),
                                    {{first_map.descriptors, map_capacity},
                                     {record.acpi_root_pointer, kAcpiRootPointerBytes},
                                     {extension.smbios3_entry, kSmbios3EntryBytes},
                                     {extension.smbios_entry, kSmbiosEntryBytes}}};
    // Where they met, the later mapping would replace the other's pages.
    if (kernel_meets_direct_map(first_map, plan, record, handover)) {
        fatal_stop("内核链接地址与直接映射重叠");
    }
    const ProcessorView processor = read_processor_view();
    PageTableBuilder builder = create_page_table_root();
    if (builder.out_of_pages) {
        fatal_stop("页表根分配失败");
    }
    // Every table page the mappings can need, obtained up front in one run (or
    // a few), so the page ledger stays short on machines of any size.
    TablePagePool table_pages;
    table_pages.reserve(estimate_table_pages(first_map, plan, record, processor, handover));
    builder.source = table_pages.source();

    if (!map_physical_memory(builder, first_map)) {
        fatal_stop("内存区映射失败");
    }
    // Before the kernel image, so that the kernel's own mapping wins where
    // the two meet.
    if (!map_processor_pages(builder, processor)) {
        fatal_stop("描述符表映射失败");
    }
    if (!map_kernel_image(builder, plan)) {
        fatal_stop("内核映像映射失败");
    }
    if (record.framebuffer_count != 0 && !map_framebuffer(builder, record)) {
        fatal_stop("帧缓冲映射失败");
    }
    // The kernel meets none of these: its placement and the check above
    // refused kernels over the loader's image, its stack, the record and the
    // firmware data.
    if (!map_handover_pages(builder, handover)) {
        fatal_stop("交接页映射失败");
    }
    // The progress line names the table that goes into CR3.
    uint64_t root = builder.root;
    if (processor.five_level_paging) {
        root = add_five_level_root(builder);
        if (root == 0) {
            fatal_stop("页表根分配失败");
        }
        serial_write("[quillmor] 页表就绪 PML5=");
    } else {
        serial_write("[quillmor] 页表就绪 PML4=");
    }
    serial_write_hex(root);
    serial_write(kLineEnd);
#ifdef QUILLMOR_TABLE_PAGE_REPORT
    // Measurement builds only: what the pool obtained against what the
    // tables used (the root included).
    serial_write("[quillmor] 页表页 已用=");
    serial_write_dec(table_pages.pages_handed_out() + 1);
    serial_write(" 预留=");
    serial_write_dec(table_pages.pages_reserved() + 1);
    serial_write(" 段数=");
    serial_write_dec(table_pages.run_count());
    serial_write(kLineEnd);
#endif
    return root;
}

void carve_kernel_and_ramdisk(const LoadPlan& plan, const FileContents& ramdisk) {
    if (plan.image_size != 0 &&
        !add_carve_interval(plan.physical_base, plan.image_size, KernelAndModules)) {
        fatal_stop("切分区表满");
    }
    if (ramdisk.length != 0 &&
        !add_carve_interval(ramdisk.address, page_align_up(ramdisk.length), KernelAndModules)) {
        fatal_stop("切分区表满");
    }
    serial_write("[quillmor] 切割区间=");
    serial_write_dec(carve_table().count());
    serial_write(kLineEnd);
}

void log_summary(const quillmor_handoff& record) {
    serial_write("[quillmor] 内存区=");
    serial_write_dec(record.region_count);
    serial_write(" 自己占页=");
    serial_write_dec(page_ledger().count());
    serial_write(" RSDP=");
    serial_write_hex(record.acpi_root_pointer);
    serial_write(" 帧缓冲=");
    serial_write_dec(record.framebuffer_count);
    serial_write(kLineEnd);
}

} // namespace

void run_boot_sequence(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table) {
    set_loader_globals(image_handle, system_table);
    const uint64_t tsc_at_entry = arch::read_tsc();
    // Above every frame of the loader's stages and of the kernel's first pushes.
    const uint64_t entry_stack_pointer = arch::stack_pointer();
    serial_init();
    serial_write(kBanner, sizeof(kBanner) - 1);

    EFI_BOOT_SERVICES* boot_services = current_boot_services();
    if (boot_services == nullptr) {
        fatal_stop("没有引导服务");
    }
    disable_watchdog(boot_services);
    const EFI_LOADED_IMAGE_PROTOCOL& loaded_image = open_loaded_image();
    EFI_FILE_PROTOCOL* root = open_boot_volume(loaded_image);

    // A signed loader never runs files it was not sealed with: under Secure
    // Boot an unsealed image stops before it opens any file.
    SealedDigests seal = {};
    const bool sealed = read_image_seal(seal);
    if (!sealed && secure_boot_enabled()) {
        fatal_stop("安全启动要求封存散列");
    }
    // Both files are read before the kernel image is examined.
    const SealedRead kernel_read =
        read_sealed_file(root, kKernelPath, sealed ? &seal.kernel : nullptr);
    if (!kernel_read.matches) {
        fatal_stop("内核散列不符");
    }
    const SealedRead ramdisk_read =
        read_sealed_file(root, kRamdiskPath, sealed ? &seal.ramdisk : nullptr);
    if (!ramdisk_read.matches) {
        fatal_stop("内存盘散列不符");
    }
    const FileContents& kernel_file = kernel_read.contents;
    const FileContents& ramdisk = ramdisk_read.contents;
    const LoadPlan plan = place_kernel(kernel_file, loaded_image, entry_stack_pointer);

    quillmor_handoff& record = *create_handoff_record();
    record_kernel_placement(record, plan);
    quillmor_extension& extension = create_extension(record);
    extension.tsc_at_entry = tsc_at_entry;
    record_firmware_tables(extension, system_table);
    load_command_line(extension, loaded_image, root,
                      {sealed, seal.command_line_present, &seal.command_line});
    // An unsealed boot that got here runs without Secure Boot; a sealed one
    // did not need to ask before.
    if (sealed) {
        extension.flags = QUILLMOR_EXTENSION_SEALED |
                          (secure_boot_enabled() ? QUILLMOR_EXTENSION_SECURE_BOOT : 0);
    }
    add_record_entries(record, ramdisk.address, ramdisk.length);

    const MemoryMapBuffer map_buffer = allocate_memory_map_buffer(boot_services->GetMemoryMap);
    const auto first_map =
        read_memory_map(boot_services->GetMemoryMap, map_buffer.address, map_buffer.capacity);
    if (!first_map.ok()) {
        fatal_stop("取内存图内容失败");
    }
    discover_framebuffer(record);
    record.acpi_root_pointer = find_acpi_root(system_table);
    const uint64_t page_table_root = build_page_tables(first_map.value(), plan, record, extension,
                                                       map_buffer.capacity, entry_stack_pointer);

    // From this reading to ExitBootServices no firmware service is called and
    // no memory is obtained: its map key must still be current at the exit.
    const auto final_map =
        read_memory_map(boot_services->GetMemoryMap, map_buffer.address, map_buffer.capacity);
    if (!final_map.ok()) {
        fatal_stop("取内存图内容失败（第二轮）");
    }
    serial_write("[quillmor] 第二轮内存图 段数=");
    serial_write_dec(final_map.value().descriptor_count);
    serial_write(kLineEnd);

    carve_kernel_and_ramdisk(plan, ramdisk);
    build_regions_or_stop(record, final_map.value());
    log_summary(record);

    hand_over({boot_services, map_buffer.capacity, final_map.value(), &record, &extension,
               page_table_root, plan.entry_point});
}
