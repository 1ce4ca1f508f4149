// The loader's one pass from the firmware's call to the kernel's first
// instruction. Every path ends in the kernel or in a stop.
#pragma once

#include "uefi/uefi.h"

// "\r\n[quillmor] 引导加载器已由 Limine 引导管理器启动\r\n", 65 bytes.
constexpr const char kBanner[] = "\r\n[quillmor] 引导加载器已由 Limine 引导管理器启动\r\n";
static_assert(sizeof(kBanner) - 1 == 65);

[[noreturn]] void run_boot_sequence(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table);
