// quillmor_enter_kernel(page_table_root, handoff_pointer, entry_point)
// Microsoft x64 convention: RCX, RDX, R8.
//
// This code lies in the loader image (loader code, identity-mapped by the new
// tables) and touches no memory between the CR3 load and the jump, so it keeps
// running whatever the new tables leave unmapped.
    .text
    .globl quillmor_enter_kernel
quillmor_enter_kernel:
    mov %rcx, %cr3
    mov %rdx, %rdi
    and $-16, %rsp
    jmp *%r8
