// For each reason the loader refuses a kernel file: what is wrong, and what
// to change in the kernel's build or link.
#pragma once

#include "elf/kernel_image.h"

struct FaultHint {
    const char* cause;
    const char* remedy;
};

FaultHint fault_hint(KernelImageFault fault);
