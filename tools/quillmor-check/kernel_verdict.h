// The loader's verdict on a kernel file, as the host tools tell it: the
// loader's own image check, and the loader's log line and a hint when it
// refuses.
#pragma once

#include "elf/kernel_image.h"

#include <cstdint>
#include <optional>
#include <vector>

// Tool exit statuses: 1 for usage or a file that cannot be read, 2 for an
// unusable ramdisk, 3 for an empty kernel file (the loader stops with
// "文件为空"), 10 + n for the n-th rejection name (NotElf64 = 10 ...
// EmptyImage = 16).
constexpr int kExitUsage = 1;
constexpr int kExitBadRamdisk = 2;
constexpr int kExitEmptyKernel = 3;
constexpr int kExitFirstRejection = 10;

// The plan of an accepted kernel; for a refused one, prints why to stdout
// and gives the exit status in `refusal`. `file` must be 8-byte aligned, as
// the loader's pool memory is.
std::optional<LoadPlan> judge_kernel(const char* path, const std::vector<uint8_t>& file,
                                     int& refusal);
