// The kernel stage as the boot sequence runs it: the image checked, its
// landing area obtained, its segments placed and the kernel line written.
// Every failure is a stop.
#pragma once

#include "elf/kernel_image.h"
#include "firmware/allocator.h"
#include "firmware/file_reader.h"
#include "uefi/uefi.h"

// `entry_stack_pointer`: the stack pointer at the loader's entry point.
LoadPlan place_kernel(const FileContents& kernel_file,
                      const EFI_LOADED_IMAGE_PROTOCOL& loaded_image, uint64_t entry_stack_pointer);

// Places the checked image in `landing`; stops with "内核段拷贝失败" when it
// does not fit, which a landing area obtained for the plan always does.
LoadPlan load_kernel_or_stop(FileBytes file, const LoadPlan& plan, const Allocation& landing);
