/*
 * The report format read by the end-to-end harness: every line starts with
 * "[ktest] " and ends with CR LF; checks print "ok NAME" or "FAIL NAME: detail";
 * the run ends with a "done" line and an exit status on QEMU's isa-debug-exit
 * port.
 */
#ifndef KTEST_REPORT_H
#define KTEST_REPORT_H

#include <stdint.h>

#include "serial.h"

enum {
    EXIT_ALL_PASSED = 0x10,
    EXIT_SOME_FAILED = 0x11,
};

void line_begin(void);
void line_end(void);

void check_pass(const char* name);
/* Starts "FAIL NAME: " and counts the failure; the caller writes the detail
   and ends the line with line_end. */
void check_fail_begin(const char* name);
/* Starts "info "; the caller writes the rest and ends the line. */
void info_begin(void);

/* " KEY=0x..." and " KEY=..." pieces for detail and info lines. */
void write_field_hex(const char* key, uint64_t value);
void write_field_dec(const char* key, uint64_t value);

_Noreturn void report_done(void);
_Noreturn void exit_qemu(uint8_t status);

#endif
