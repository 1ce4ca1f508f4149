/* A minimal interrupt descriptor table for processor exceptions 0 to 31. */
#ifndef KTEST_IDT_H
#define KTEST_IDT_H

/* Points every exception vector at a stub that reports the fault on the
   serial port and exits QEMU with EXIT_EXCEPTION. */
void idt_install(void);

#endif
