#include "image_checks.h"

#include <stddef.h>
#include <stdint.h>

#include "report.h"

/* Probes at the start and at the end of the zero-filled segment (the linker
   script orders them). The tail probe is longer than a page, so it crosses a
   page boundary and ends at the image's last byte. They are defined in
   assembly because the compiler gives zero-initialised variables in named
   sections file bytes, and the probes must have none. */
#define HEAD_PROBE_BYTES 4096
#define TAIL_PROBE_BYTES (4096 + 200)
#define STRINGIFY_VALUE(x) #x
#define STRINGIFY(x) STRINGIFY_VALUE(x)
__asm__(".pushsection .probe_head, \"aw\", @nobits\n"
        ".balign 16\n"
        "bss_probe_head: .skip " STRINGIFY(
            HEAD_PROBE_BYTES) "\n"
                              ".popsection\n"
                              ".pushsection .probe_tail, \"aw\", @nobits\n"
                              ".balign 16\n"
                              "bss_probe_tail: .skip " STRINGIFY(TAIL_PROBE_BYTES) "\n"
                                                                                   ".popsection\n");
extern uint8_t bss_probe_head[HEAD_PROBE_BYTES];
extern uint8_t bss_probe_tail[TAIL_PROBE_BYTES];

/* A pattern no loader bug produces by accident: neither zeros, nor a copy
   shifted by a page, nor bytes of another segment. */
#define PATTERN_WORD(i) ((0x9e3779b97f4a7c15ull * ((uint64_t)(i) + 1)) ^ 0x5851f42d4c957f2dull)
#define PATTERN_4(i) PATTERN_WORD(i), PATTERN_WORD(i + 1), PATTERN_WORD(i + 2), PATTERN_WORD(i + 3)
#define PATTERN_16(i) PATTERN_4(i), PATTERN_4(i + 4), PATTERN_4(i + 8), PATTERN_4(i + 12)
#define PATTERN_64(i) PATTERN_16(i), PATTERN_16(i + 16), PATTERN_16(i + 32), PATTERN_16(i + 48)
#define PATTERN_256(i) PATTERN_64(i), PATTERN_64(i + 64), PATTERN_64(i + 128), PATTERN_64(i + 192)
#define PATTERN_1024(i)                                                                            \
    PATTERN_256(i), PATTERN_256(i + 256), PATTERN_256(i + 512), PATTERN_256(i + 768)
#define PATTERN_WORDS 1024

/* 8 KiB each, so both segments span more than one page. The read-only copy
   continues the sequence where the writable one ends, so segments placed at
   each other's addresses do not pass. */
#define DATA_FIRST_WORD 0
#define RODATA_FIRST_WORD PATTERN_WORDS
uint64_t data_pattern[PATTERN_WORDS] = {PATTERN_1024(DATA_FIRST_WORD)};
const uint64_t rodata_pattern[PATTERN_WORDS] = {PATTERN_1024(RODATA_FIRST_WORD)};

/* Volatile reads: the compiler must not answer from the initialisers. */
static size_t first_nonzero(const uint8_t* bytes, size_t count) {
    const volatile uint8_t* probe = bytes;
    for (size_t i = 0; i < count; i++) {
        if (probe[i] != 0) {
            return i;
        }
    }
    return count;
}

static size_t first_pattern_mismatch(const uint64_t* words, uint64_t first_word) {
    const volatile uint64_t* probe = words;
    for (size_t i = 0; i < PATTERN_WORDS; i++) {
        if (probe[i] != PATTERN_WORD(first_word + i)) {
            return i;
        }
    }
    return PATTERN_WORDS;
}

static void report_nonzero(const char* probe_name, const uint8_t* probe, size_t at) {
    check_fail_begin("bss-zero");
    serial_write(" ");
    serial_write(probe_name);
    write_field_dec("offset", at);
    write_field_hex("address", (uint64_t)(uintptr_t)(probe + at));
    write_field_hex("byte", ((const volatile uint8_t*)probe)[at]);
    line_end();
}

void check_bss_zero(void) {
    size_t at = first_nonzero(bss_probe_head, sizeof(bss_probe_head));
    if (at != sizeof(bss_probe_head)) {
        report_nonzero("head-probe", bss_probe_head, at);
        return;
    }
    at = first_nonzero(bss_probe_tail, sizeof(bss_probe_tail));
    if (at != sizeof(bss_probe_tail)) {
        report_nonzero("tail-probe", bss_probe_tail, at);
        return;
    }
    check_pass("bss-zero");
}

static void report_mismatch(const char* segment, const uint64_t* words, uint64_t first_word,
                            size_t at) {
    check_fail_begin("data-intact");
    serial_write(" ");
    serial_write(segment);
    write_field_dec("word", at);
    write_field_hex("address", (uint64_t)(uintptr_t)(words + at));
    write_field_hex("found", ((const volatile uint64_t*)words)[at]);
    write_field_hex("wanted", PATTERN_WORD(first_word + at));
    line_end();
}

void check_data_intact(void) {
    size_t at = first_pattern_mismatch(data_pattern, DATA_FIRST_WORD);
    if (at != PATTERN_WORDS) {
        report_mismatch("data", data_pattern, DATA_FIRST_WORD, at);
        return;
    }
    at = first_pattern_mismatch(rodata_pattern, RODATA_FIRST_WORD);
    if (at != PATTERN_WORDS) {
        report_mismatch("rodata", rodata_pattern, RODATA_FIRST_WORD, at);
        return;
    }
    check_pass("data-intact");
}
