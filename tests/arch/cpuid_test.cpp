// The image's CPUID wrapper, run on the host processor, against the
// compiler's intrinsic: leaf and subleaf go in, all four registers come back
// in their own fields. The boot processor's identity is read through it.
#include "arch/arch.h"

#include <cpuid.h>
#include <cstdio>
#include <sched.h>

int main() {
    // Leaf 1 EBX[31:24] and leaf 0x0B EDX name the processor that runs the
    // instruction: stay on one. (A leaf past the highest answers as that
    // one does, to both alike.)
    cpu_set_t here;
    CPU_ZERO(&here);
    CPU_SET(sched_getcpu(), &here);
    sched_setaffinity(0, sizeof(here), &here);
    const unsigned leaves[][2] = {{0, 0}, {1, 0}, {4, 0}, {4, 1}, {0x0B, 0}, {0x0B, 1}};
    for (const auto& [leaf, subleaf] : leaves) {
        unsigned a, b, c, d;
        __cpuid_count(leaf, subleaf, a, b, c, d);
        const arch::CpuidResult got = arch::cpuid(leaf, subleaf);
        if (got.eax != a || got.ebx != b || got.ecx != c || got.edx != d) {
            std::printf("leaf %#x/%u: wrapper %08x %08x %08x %08x, intrinsic %08x %08x %08x %08x\n",
                        leaf, subleaf, got.eax, got.ebx, got.ecx, got.edx, a, b, c, d);
            return 1;
        }
    }
    return 0;
}
