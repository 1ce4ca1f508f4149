/*
 * Entry stubs for processor exceptions 0 to 31. Each stub leaves the same
 * frame on the stack, [vector, error code, RIP, CS, RFLAGS, RSP, SS], pushing
 * a zero error code for the vectors where the processor pushes none, and hands
 * it to exception_report, which never returns.
 */
    .section .text, "ax", @progbits

.macro EXCEPTION_WITHOUT_ERROR vector
exception_stub_\vector:
    pushq $0
    pushq $\vector
    jmp exception_common
.endm

.macro EXCEPTION_WITH_ERROR vector
exception_stub_\vector:
    pushq $\vector
    jmp exception_common
.endm

EXCEPTION_WITHOUT_ERROR 0
EXCEPTION_WITHOUT_ERROR 1
EXCEPTION_WITHOUT_ERROR 2
EXCEPTION_WITHOUT_ERROR 3
EXCEPTION_WITHOUT_ERROR 4
EXCEPTION_WITHOUT_ERROR 5
EXCEPTION_WITHOUT_ERROR 6
EXCEPTION_WITHOUT_ERROR 7
EXCEPTION_WITH_ERROR 8
EXCEPTION_WITHOUT_ERROR 9
EXCEPTION_WITH_ERROR 10
EXCEPTION_WITH_ERROR 11
EXCEPTION_WITH_ERROR 12
EXCEPTION_WITH_ERROR 13
EXCEPTION_WITH_ERROR 14
EXCEPTION_WITHOUT_ERROR 15
EXCEPTION_WITHOUT_ERROR 16
EXCEPTION_WITH_ERROR 17
EXCEPTION_WITHOUT_ERROR 18
EXCEPTION_WITHOUT_ERROR 19
EXCEPTION_WITHOUT_ERROR 20
EXCEPTION_WITH_ERROR 21
EXCEPTION_WITHOUT_ERROR 22
EXCEPTION_WITHOUT_ERROR 23
EXCEPTION_WITHOUT_ERROR 24
EXCEPTION_WITHOUT_ERROR 25
EXCEPTION_WITHOUT_ERROR 26
EXCEPTION_WITHOUT_ERROR 27
EXCEPTION_WITHOUT_ERROR 28
EXCEPTION_WITH_ERROR 29
EXCEPTION_WITH_ERROR 30
EXCEPTION_WITHOUT_ERROR 31

exception_common:
    movq %rsp, %rdi
    andq $-16, %rsp
    call exception_report
1:  cli
    hlt
    jmp 1b

    .section .rodata, "a", @progbits
    .balign 8
    .globl exception_stub_table
exception_stub_table:
    .irp vector, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
    .quad exception_stub_\vector
    .endr

    .section .note.GNU-stack, "", @progbits
