/* Checks on the handoff record's table of physical memory regions. */
#ifndef KTEST_REGION_CHECKS_H
#define KTEST_REGION_CHECKS_H

#include <stdbool.h>
#include <stdint.h>

#include <quillmor/handoff.h>

/* The number of entries that may be read: the count, capped at the table's
   capacity so that a bad count cannot lead past the record. */
uint32_t readable_region_count(const struct quillmor_handoff* record);

/* End of a region, or UINT64_MAX when base + length overflows. */
uint64_t region_end(const struct quillmor_region* region);

/* region-overlap: no Usable entry shares a byte with another Usable or a
   KernelAndModules entry, whatever the firmware's map held. */
void check_region_overlap(const struct quillmor_handoff* record);

/* region-page-aligned: every region's base and length are whole pages, so a
   kernel that frees by pages frees nothing of a neighbour's. */
void check_region_pages(const struct quillmor_handoff* record);

/* The Usable entries, sorted by base, with the running maximum of their ends:
   an overlap query is one binary search, so a million table pages can be
   tested against 512 regions quickly. */
struct usable_index {
    uint32_t count;
    uint64_t base[QUILLMOR_MAX_REGIONS];
    uint64_t end[QUILLMOR_MAX_REGIONS];
    uint64_t max_end[QUILLMOR_MAX_REGIONS]; /* max of end[0..i] */
};

void usable_index_build(const struct quillmor_handoff* record, struct usable_index* index);

/* True when [base, end) shares a byte with some Usable entry. */
bool usable_index_overlaps(const struct usable_index* index, uint64_t base, uint64_t end);

/* NAME fails when [base, base + length) shares a byte with a Usable entry. */
void check_range_not_usable(const struct quillmor_handoff* record, const struct usable_index* index,
                            const char* name, uint64_t base, uint64_t length);

#endif
