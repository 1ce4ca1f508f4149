// The kernel image: an ELF64 executable for x86-64, run at its link
// addresses. The check decides whether a file is acceptable and where its
// loadable segments lie; the placement copies them into the landing area.
#pragma once

#include "diag/result.h"
#include "diag/text.h"

#include <stdint.h>

enum class KernelImageError : uint8_t {
    NotElf64,
    NotX86_64,
    NotExecutable,
    BadHeader,
    SegmentOutOfFile,
    TooManySegments,
    EmptyImage,
};

// The name the log shows for an error, e.g. "BadHeader".
Text kernel_image_error_name(KernelImageError error);

constexpr uint64_t kMaxKernelSegments = 8;

struct LoadPlan {
    uint64_t entry_point;   // e_entry, a kernel virtual address
    uint64_t virtual_base;  // lowest p_vaddr of the loadable segments
    uint64_t virtual_end;   // highest p_vaddr + p_memsz
    uint64_t physical_base; // the landing area, once placed
    uint64_t image_size;    // virtual_end - virtual_base, rounded up to whole pages
    uint64_t segment_count;
};

struct FileBytes {
    uint64_t address;
    uint64_t length;
};

// Checks the image and works out its plan. Reads the file only.
Result<LoadPlan, KernelImageError> plan_kernel(FileBytes file);

// Copies every loadable segment to its place in the landing area and zero
// fills its tail. Bytes no segment covers keep what the firmware left there.
Result<LoadPlan, KernelImageError> load_kernel(FileBytes file, const LoadPlan& plan,
                                               uint64_t physical_base, uint64_t landing_address,
                                               uint64_t landing_length);
