/*
 * Kernel entry. The loader jumps here with RDI = the handoff record's
 * direct-map address and RSP on its own stack. Both are saved before anything
 * can push, so the stack pointer recorded is exactly the one handed over;
 * RFLAGS is read on the kernel's own stack, never on the loader's, before
 * interrupts and the direction flag are cleared for kernel_main.
 */
    .section .text.entry, "ax", @progbits
    .globl kernel_entry
kernel_entry:
    movq %rsp, entry_rsp(%rip)
    movq %rdi, entry_rdi(%rip)
    leaq kernel_stack+65536(%rip), %rsp
    pushfq
    popq entry_rflags(%rip)
    cli
    cld
    call kernel_main

    .section .note.GNU-stack, "", @progbits
