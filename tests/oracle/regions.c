/*
 * The region table a firmware map must give, worked out the plain way: each
 * descriptor cut into pieces, every piece appended and merged.
 */
#include "oracle.h"

#define MAX_PIECES 4096u

static struct quillmor_region pieces[MAX_PIECES];
/* Room for a full table and one descriptor's pieces and gaps after it. */
static struct quillmor_region built[QUILLMOR_MAX_REGIONS + 2 * MAX_PIECES + 2];

static uint32_t append(uint32_t count, uint64_t base, uint64_t length, uint32_t type) {
    if (count != 0 && built[count - 1].type == type &&
        built[count - 1].base + built[count - 1].length == base) {
        built[count - 1].length += length;
        return count;
    }
    built[count] = (struct quillmor_region){base, length, type, 0};
    return count + 1;
}

enum oracle_regions oracle_expected_regions(const struct oracle_descriptor* map, uint32_t count,
                                            const struct oracle_range* carves, uint32_t carve_count,
                                            const struct oracle_range* own, uint32_t own_count,
                                            struct quillmor_region* table, uint32_t* table_count) {
    static const uint8_t region_type[13] = {5, 5, 5, 1, 1, 5, 5, 0, 6, 2, 3, 4, 4};
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i++) {
        const struct oracle_descriptor* d = &map[i];
        if (d->pages >> 52 != 0 || (d->pages << 12) > ~d->base) {
            return ORACLE_REGIONS_OVERFLOW;
        }
        uint64_t end = d->base + (d->pages << 12);
        uint32_t k = 0;
        for (uint32_t c = 0; c < carve_count; c++) {
            int past = carves[c].length > ~carves[c].base; /* ends past 2^64 - 1 */
            uint64_t carve_end = carves[c].base + carves[c].length;
            if (d->pages != 0 && past) {
                return ORACLE_REGIONS_OVERFLOW;
            }
            if (d->pages != 0 && carve_end > d->base && carves[c].base < end && k == MAX_PIECES) {
                return ORACLE_REGIONS_FULL;
            }
            uint64_t start = carves[c].base > d->base ? carves[c].base : d->base;
            uint64_t stop = past || carve_end > end ? end : carve_end;
            if (start < stop) { /* in order of start, after those with the same start */
                uint32_t at = k++;
                for (; at > 0 && pieces[at - 1].base > start; at--) {
                    pieces[at] = pieces[at - 1];
                }
                pieces[at] = (struct quillmor_region){start, stop - start, carves[c].type, 0};
            }
        }
        uint32_t type = d->type < 13 ? region_type[d->type] : QUILLMOR_REGION_RESERVED;
        uint64_t cursor = d->base;
        for (uint32_t p = 0; p < k; p++) {
            if (pieces[p].base > cursor) {
                n = append(n, cursor, pieces[p].base - cursor, type);
            }
            n = append(n, pieces[p].base, pieces[p].length, pieces[p].type);
            cursor = pieces[p].base + pieces[p].length;
        }
        if (end > cursor) {
            n = append(n, cursor, end - cursor, type);
        }
        if (n > QUILLMOR_MAX_REGIONS) {
            return ORACLE_REGIONS_FULL;
        }
    }
    *table_count = n;
    int own_usable = 0;
    for (uint32_t r = 0; r < n; r++) {
        table[r] = built[r];
        for (uint32_t o = 0; o < own_count && built[r].type == QUILLMOR_REGION_USABLE; o++) {
            own_usable |= own[o].base < built[r].base + built[r].length &&
                          built[r].base < own[o].base + own[o].length;
        }
    }
    return own_usable ? ORACLE_REGIONS_OWN_PAGE_USABLE : ORACLE_REGIONS_COMPLETE;
}
