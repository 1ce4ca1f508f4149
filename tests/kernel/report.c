#include "report.h"

#include "cpu.h"

enum { DEBUG_EXIT_PORT = 0xf4 };

static uint64_t checks_passed;
static uint64_t checks_failed;

void line_begin(void) {
    serial_write("[ktest] ");
}

void line_end(void) {
    serial_write("\r\n");
}

void check_pass(const char* name) {
    checks_passed++;
    line_begin();
    serial_write("ok ");
    serial_write(name);
    line_end();
}

void check_fail_begin(const char* name) {
    checks_failed++;
    line_begin();
    serial_write("FAIL ");
    serial_write(name);
    serial_write(":");
}

void info_begin(void) {
    line_begin();
    serial_write("info ");
}

void write_field_hex(const char* key, uint64_t value) {
    serial_write(" ");
    serial_write(key);
    serial_write("=");
    serial_write_hex(value);
}

void write_field_dec(const char* key, uint64_t value) {
    serial_write(" ");
    serial_write(key);
    serial_write("=");
    serial_write_dec(value);
}

void report_done(void) {
    line_begin();
    serial_write("done ok=");
    serial_write_dec(checks_passed);
    serial_write(" failed=");
    serial_write_dec(checks_failed);
    line_end();
    exit_qemu(checks_failed == 0 ? EXIT_ALL_PASSED : EXIT_SOME_FAILED);
}

void exit_qemu(uint8_t status) {
    /* A one-byte write suits the debug-exit device whatever width it was
       given; without the device the kernel simply stops here. */
    port_write8(DEBUG_EXIT_PORT, status);
    halt_forever();
}
