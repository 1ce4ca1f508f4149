#include "boot/kernel_stage.h"

#include "arch/arch.h"
#include "diag/checked.h"
#include "diag/serial.h"
#include "diag/stop.h"

namespace {

// UEFI promises an application at least 128 KiB of stack. Whatever the
// loader still runs on its stack lies in that much below the page the stack
// pointer is in now, or in that page itself: that window is the stack.
constexpr uint64_t kFirmwareStackBytes = 128 * 1024;

[[noreturn]] void stop_rejected_kernel(KernelImageError error) {
    serial_write("[quillmor] 内核映像不合规：");
    serial_write(kernel_image_error_name(error));
    serial_write(kLineEnd);
    halt_forever();
}

void log_kernel_placement(const LoadPlan& plan) {
    serial_write("[quillmor] 内核入口=");
    serial_write_hex(plan.entry_point);
    serial_write(" 段=");
    serial_write_dec(plan.segment_count);
    serial_write(" 映像=");
    serial_write_dec(plan.image_size);
    serial_write(" 字节，落点=");
    serial_write_hex(plan.physical_base);
    serial_write(" → ");
    serial_write_hex(plan.virtual_base);
    serial_write(kLineEnd);
}

// Half-open ranges; empty ones overlap nothing.
bool ranges_overlap(uint64_t a_base, uint64_t a_end, uint64_t b_base, uint64_t b_end) {
    return a_base < a_end && b_base < b_end && a_base < b_end && b_base < a_end;
}

// The handover runs from the loader's image and on its stack, at their
// identity addresses: a kernel mapped over either would replace the pages
// under the last instructions before the jump.
bool kernel_overlaps_loader(const LoadPlan& plan, const EFI_LOADED_IMAGE_PROTOCOL& loaded_image) {
    const uint64_t kernel_end = checked_add(plan.virtual_base, plan.image_size);
    const uint64_t image_base = address_of(loaded_image.ImageBase);
    const uint64_t image_end = checked_add(image_base, loaded_image.ImageSize);
    const uint64_t stack_page = page_align_down(arch::stack_pointer());
    const uint64_t stack_base =
        stack_page > kFirmwareStackBytes ? stack_page - kFirmwareStackBytes : 0;
    const uint64_t stack_end = checked_add(stack_page, kPageSize);
    return ranges_overlap(plan.virtual_base, kernel_end, image_base, image_end) ||
           ranges_overlap(plan.virtual_base, kernel_end, stack_base, stack_end);
}

} // namespace

LoadPlan place_kernel(const FileContents& kernel_file,
                      const EFI_LOADED_IMAGE_PROTOCOL& loaded_image) {
    const FileBytes file = {kernel_file.address, kernel_file.length};
    const auto plan = plan_kernel(file);
    if (!plan.ok()) {
        stop_rejected_kernel(kernel_image_error(plan.error()));
    }
    if (kernel_overlaps_loader(plan.value(), loaded_image)) {
        fatal_stop("内核链接地址与引导加载器重叠");
    }
    const Allocation landing = alloc_pages(plan.value().image_size / kPageSize);
    if (!landing.ok()) {
        fatal_stop("内核落点分配失败");
    }
    const LoadPlan placed = load_kernel_or_stop(file, plan.value(), landing);
    log_kernel_placement(placed);
    return placed;
}

LoadPlan load_kernel_or_stop(FileBytes file, const LoadPlan& plan, const Allocation& landing) {
    const auto placed = load_kernel(file, plan, landing.address, landing.address, landing.length);
    if (!placed.ok()) {
        fatal_stop("内核段拷贝失败");
    }
    return placed.value();
}
