/* What the kernel knows about itself: its link range and its entry state. */
#ifndef KTEST_KERNEL_IMAGE_H
#define KTEST_KERNEL_IMAGE_H

#include <stdint.h>

/* Set by the linker script around every loadable segment. */
extern char kernel_image_start[];
extern char kernel_image_end[];

/* Written by kernel_entry before anything else runs. */
extern uint64_t entry_rsp;
extern uint64_t entry_rdi;
extern uint64_t entry_cr3;
extern uint64_t entry_cr4;
extern uint64_t entry_rflags;

/* The GDTR and IDTR the kernel found loaded, as SGDT and SIDT store them. */
struct descriptor_register {
    uint16_t limit;
    uint64_t base;
} __attribute__((packed));
extern struct descriptor_register entry_gdtr;
extern struct descriptor_register entry_idtr;

#define CR4_LA57 (1ull << 12)

static inline uint64_t kernel_virtual_base(void) {
    return (uint64_t)(uintptr_t)kernel_image_start;
}

/* The span of the loadable segments rounded up to whole pages: the size of
   the landing area the loader gives the kernel. */
static inline uint64_t kernel_image_size(void) {
    uint64_t span = (uint64_t)(uintptr_t)kernel_image_end - kernel_virtual_base();
    return (span + 4095) & ~4095ull;
}

#endif
