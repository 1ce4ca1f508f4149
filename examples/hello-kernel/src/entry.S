/*
 * First instruction of the kernel. The loader jumps here (it does not call:
 * there is no return address) with
 *     RDI = the handoff record's address in the higher-half direct map,
 *     RSP = 16-byte aligned, on the stack the firmware gave the loader.
 * That stack lies in memory the region table does not report as usable, but
 * it is not the kernel's to keep, so the first thing is to move to a stack in
 * the kernel's own .bss. Then kernel_main(record) is an ordinary call: RDI is
 * already the first argument of the System V calling convention.
 */
    .section .text.entry, "ax", @progbits
    .globl kernel_entry
    .type kernel_entry, @function
kernel_entry:
    /* The interrupt flag is as the firmware left it, and so is the IDT: its
       handlers live in memory that is not ours. No interrupts until the
       kernel has its own IDT. */
    cli
    /* The calling convention wants the direction flag clear at every call. */
    cld

    leaq kernel_stack_top(%rip), %rsp
    /* A zero frame pointer ends a debugger's backtrace here. */
    xorl %ebp, %ebp
    /* RSP is 16-byte aligned before the call, as the convention requires. */
    call kernel_main

    /* kernel_main never returns; if it did, stop here rather than run on. */
1:  cli
    hlt
    jmp 1b
    .size kernel_entry, . - kernel_entry

    .section .bss.stack, "aw", @nobits
    .balign 16
kernel_stack:
    .skip 64 * 1024
kernel_stack_top:

    .section .note.GNU-stack, "", @progbits
