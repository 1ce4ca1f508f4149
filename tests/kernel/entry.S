/*
 * Kernel entry. The loader jumps here with RDI = the handoff record's
 * direct-map address and RSP on its own stack. The registers are saved to
 * memory before anything can push, so the stack pointer recorded is exactly
 * the one the loader handed over, and the descriptor-table registers are
 * saved before the kernel loads its own IDT; then the kernel moves to its own
 * stack and runs kernel_main, which never returns.
 */
    .section .text.entry, "ax", @progbits
    .globl kernel_entry
    .type kernel_entry, @function
kernel_entry:
    movq %rsp, entry_rsp(%rip)
    movq %rdi, entry_rdi(%rip)
    movq %cr3, %rax
    movq %rax, entry_cr3(%rip)
    movq %cr4, %rax
    movq %rax, entry_cr4(%rip)
    sgdt entry_gdtr(%rip)
    sidt entry_idtr(%rip)

    leaq kernel_stack_top(%rip), %rsp
    xorl %ebp, %ebp

    /* RFLAGS is read on the kernel's own stack, never on the loader's. */
    pushfq
    popq %rax
    movq %rax, entry_rflags(%rip)

    /* No interrupt handler exists for external vectors; keep them out. */
    cli
    cld
    call kernel_main

1:  cli
    hlt
    jmp 1b
    .size kernel_entry, . - kernel_entry

    .section .bss.entry_state, "aw", @nobits
    .balign 8
    .globl entry_rsp, entry_rdi, entry_cr3, entry_cr4, entry_rflags, entry_gdtr, entry_idtr
entry_rsp:
    .skip 8
entry_rdi:
    .skip 8
entry_cr3:
    .skip 8
entry_cr4:
    .skip 8
entry_rflags:
    .skip 8
    /* SGDT and SIDT store a 2-byte limit, then an 8-byte base. */
entry_gdtr:
    .skip 16
entry_idtr:
    .skip 16

    .section .bss.stack, "aw", @nobits
    .balign 16
kernel_stack:
    .skip 65536
kernel_stack_top:

    .section .note.GNU-stack, "", @progbits
