// CPUID on its own: it runs unchanged in a host process, where a test
// compares it with the compiler's own CPUID intrinsic.
#include "arch/arch.h"

namespace arch {

CpuidResult cpuid(uint32_t leaf, uint32_t subleaf) {
    CpuidResult result;
    asm volatile("cpuid"
                 : "=a"(result.eax), "=b"(result.ebx), "=c"(result.ecx), "=d"(result.edx)
                 : "a"(leaf), "c"(subleaf));
    return result;
}

} // namespace arch
