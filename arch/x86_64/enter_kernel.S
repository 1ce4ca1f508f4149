// quillmor_enter_kernel(page_table_root, handoff_pointer, entry_point)
// Microsoft x64 convention: RCX, RDX, R8.
//
// This code touches no memory between the CR3 load and the jump; the new
// tables map its own bytes (up to quillmor_enter_kernel_end) at their
// addresses whatever the memory map said of them.
    .text
    .globl quillmor_enter_kernel
    .globl quillmor_enter_kernel_end
quillmor_enter_kernel:
    mov %rcx, %cr3
    mov %rdx, %rdi
    and $-16, %rsp
    jmp *%r8
quillmor_enter_kernel_end:
