#include "boot/kernel_stage.h"

#include "diag/checked.h"
#include "diag/serial.h"
#include "diag/stop.h"
#include "mm/handover_pages.h"

namespace {

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
// identity addresses, and the kernel starts on that stack: a kernel mapped
// over either would replace the pages under the last instructions before the
// jump, or under its own first pushes.
bool kernel_overlaps_loader(const LoadPlan& plan, const EFI_LOADED_IMAGE_PROTOCOL& loaded_image,
                            uint64_t entry_stack_pointer) {
    const uint64_t kernel_end = checked_add(plan.virtual_base, plan.image_size);
    const uint64_t image_base = address_of(loaded_image.ImageBase);
    const uint64_t image_end = checked_add(image_base, loaded_image.ImageSize);
    const IdentityRange stack = stack_window(entry_stack_pointer);
    return ranges_overlap(plan.virtual_base, kernel_end, image_base, image_end) ||
           ranges_overlap(plan.virtual_base, kernel_end, page_align_down(stack.base),
                          page_align_up(checked_add(stack.base, stack.length)));
}

} // namespace

LoadPlan place_kernel(const FileContents& kernel_file,
                      const EFI_LOADED_IMAGE_PROTOCOL& loaded_image, uint64_t entry_stack_pointer) {
    const FileBytes file = {kernel_file.address, kernel_file.length};
    const auto plan = plan_kernel(file);
    if (!plan.ok()) {
        stop_rejected_kernel(kernel_image_error(plan.error()));
    }
    if (kernel_overlaps_loader(plan.value(), loaded_image, entry_stack_pointer)) {
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
