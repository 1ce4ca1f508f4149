/* Checks on the kernel's own image: zero-filled memory and file-backed data. */
#ifndef KTEST_IMAGE_CHECKS_H
#define KTEST_IMAGE_CHECKS_H

/* bss-zero: must run before anything writes to the probes. */
void check_bss_zero(void);
/* data-intact: initialised data and read-only data hold their patterns. */
void check_data_intact(void);

#endif
