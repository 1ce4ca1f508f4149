#include "arch/arch.h"
#include "diag/stop.h"

void halt_forever() {
    // Only a non-maskable event can wake a processor halted with interrupts
    // off; clearing the flag again before each HLT keeps it that way.
    for (;;) {
        arch::disable_interrupts();
        arch::halt_processor();
    }
}
