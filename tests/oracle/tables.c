/*
 * The page tables against the mappings the protocol promises, by a walk of
 * every entry. The runs cut the 2^36 virtual pages into elementary intervals,
 * each with the run that wins it (the last one made); the walk meets the
 * leaves in address order, so one cursor through the intervals judges them.
 */
#include "oracle.h"

#define MAX_RUNS 2048u
#define MAX_POINTS (2 * MAX_RUNS)
#define VPN_SPACE (1ull << 36)
#define UPPER_IGNORED 0x20ull /* accessed, set by the processor */
#define LEAF_IGNORED 0x60ull  /* accessed and dirty */

struct run {
    uint64_t vpn, pages, ppn;
    int required;
};

static struct run runs[MAX_RUNS];
static uint32_t run_count;
static int runs_overflowed;

static uint64_t points[MAX_POINTS + 1];
static int32_t winner[MAX_POINTS];
static int required_at[MAX_POINTS];
static uint64_t matched[MAX_POINTS];
static uint32_t point_count;

void oracle_tables_begin(void) {
    run_count = 0;
    runs_overflowed = 0;
}

void oracle_tables_expect(uint64_t virtual_start, uint64_t physical, uint64_t length,
                          int required) {
    if (length == 0) {
        return;
    }
    uint64_t first = virtual_start >> 12;
    uint64_t pages = ((virtual_start + (length - 1)) >> 12) - first + 1;
    uint64_t vpn = first & (VPN_SPACE - 1), ppn = physical >> 12;
    while (pages != 0) {
        uint64_t room = VPN_SPACE - vpn, n = pages < room ? pages : room;
        if (run_count == MAX_RUNS) {
            runs_overflowed = 1;
            return;
        }
        runs[run_count++] = (struct run){vpn, n, ppn, required};
        pages -= n;
        ppn += n;
        vpn = 0;
    }
}

/* Loader code and data, boot and runtime services code and data,
   conventional, ACPI reclaim and NVS, persistent, unaccepted. */
static int mapped_type(uint32_t type) {
    return type <= 15 && ((0xc6feu >> type) & 1) != 0;
}

void oracle_tables_expect_map(const struct oracle_descriptor* map, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        int ram = mapped_type(map[i].type);
        uint64_t bytes = map[i].pages << 12;
        /* Device memory the runtime services use: at its own address only,
           where it has one (below 2^47). */
        int runtime = map[i].attribute >> 63 && map[i].base < ORACLE_DIRECT_LIMIT &&
                      bytes <= ORACLE_DIRECT_LIMIT - map[i].base;
        if ((!ram && !runtime) || map[i].pages == 0) {
            continue;
        }
        oracle_tables_expect(map[i].base, map[i].base, bytes, 1);
        if (ram && map[i].base < ORACLE_DIRECT_LIMIT) {
            oracle_tables_expect(QUILLMOR_DIRECT_MAP_OFFSET + map[i].base, map[i].base, bytes, 1);
        }
    }
}

static void sort_points(void) {
    /* Shell sort: a few thousand points, no recursion, no allocation. */
    for (uint32_t gap = point_count / 2; gap > 0; gap /= 2) {
        for (uint32_t i = gap; i < point_count; i++) {
            uint64_t value = points[i];
            uint32_t j = i;
            for (; j >= gap && points[j - gap] > value; j -= gap) {
                points[j] = points[j - gap];
            }
            points[j] = value;
        }
    }
    uint32_t unique = 0;
    for (uint32_t i = 0; i < point_count; i++) {
        if (unique == 0 || points[unique - 1] != points[i]) {
            points[unique++] = points[i];
        }
    }
    point_count = unique;
}

static void cut_intervals(void) {
    point_count = 0;
    for (uint32_t i = 0; i < run_count; i++) {
        points[point_count++] = runs[i].vpn;
        points[point_count++] = runs[i].vpn + runs[i].pages;
    }
    sort_points();
    for (uint32_t e = 0; e + 1 < point_count; e++) {
        winner[e] = -1;
        required_at[e] = 0;
        matched[e] = 0;
        for (uint32_t r = run_count; r-- > 0;) {
            if (runs[r].vpn <= points[e] && points[e] < runs[r].vpn + runs[r].pages) {
                if (winner[e] < 0) {
                    winner[e] = (int32_t)r;
                }
                required_at[e] |= runs[r].required;
            }
        }
    }
}

static uint64_t canonical(uint64_t vpn) {
    uint64_t address = vpn << 12;
    return (address & (1ull << 47)) ? address | 0xffff000000000000ull : address;
}

struct walk {
    uint64_t window, root;
    uint32_t cursor;
    uint64_t wrong, first_wrong, first_entry, stray, first_stray, bad_upper, first_upper,
        empty_tables, first_empty;
    struct oracle_census census;
    void (*visit)(void*, uint64_t);
    void* context;
};

static void judge_leaf(struct walk* w, uint64_t vpn, uint64_t entry) {
    w->census.leaves++;
    while (w->cursor + 1 < point_count && points[w->cursor + 1] <= vpn) {
        w->cursor++;
    }
    uint32_t e = w->cursor;
    if (e + 1 >= point_count || vpn < points[e] || winner[e] < 0) {
        if (w->stray++ == 0) {
            w->first_stray = canonical(vpn);
        }
        return;
    }
    const struct run* r = &runs[winner[e]];
    uint64_t wanted = ((r->ppn + (vpn - r->vpn)) << 12) | 3;
    if ((entry & ~LEAF_IGNORED) != wanted) {
        if (w->wrong++ == 0) {
            w->first_wrong = canonical(vpn);
            w->first_entry = entry;
        }
        return;
    }
    matched[e]++;
}

/* Walks entries [from, to) of a level-`level` table and everything below. */
static void walk_table(struct walk* w, uint64_t table, unsigned level, uint64_t prefix,
                       unsigned from, unsigned to) {
    const uint64_t* entries = (const uint64_t*)(uintptr_t)(w->window + table);
    unsigned used = 0;
    for (uint64_t i = from; i < to; i++) {
        uint64_t entry = entries[i];
        if (entry == 0) {
            continue;
        }
        used++;
        if (level == 1) {
            judge_leaf(w, prefix << 9 | i, entry);
            continue;
        }
        uint64_t next = entry & ORACLE_ADDRESS_MASK;
        if ((entry & ~(ORACLE_ADDRESS_MASK | UPPER_IGNORED)) != 3 || next == 0) {
            if (w->bad_upper++ == 0) {
                w->first_upper = entry;
            }
            continue;
        }
        w->census.tables++;
        if (w->visit) {
            w->visit(w->context, next);
        }
        walk_table(w, next, level - 1, prefix << 9 | i, 0, 512);
    }
    if (used == 0 && table != w->root && w->empty_tables++ == 0) {
        w->first_empty = table;
    }
}

uint64_t oracle_tables_check(uint64_t root, unsigned levels, uint64_t window, oracle_note note,
                             void* context, void (*visit)(void*, uint64_t),
                             struct oracle_census* census) {
    struct walk w = {.window = window, .visit = visit, .context = context};
    uint64_t failures = 0;
#define VERDICT(check, ok, what, a, b)                                                             \
    do {                                                                                           \
        int held = (ok);                                                                           \
        failures += !held;                                                                         \
        note(context, check, held ? 0 : what, a, b);                                               \
    } while (0)
    if (visit) {
        visit(context, root);
    }
    VERDICT("mapping-runs", !runs_overflowed, "more runs than the oracle holds", run_count, 0);
    cut_intervals();
    if (levels == 4) {
        w.root = root;
        walk_table(&w, root, 4, 0, 0, 512);
    } else {
        /* A five-level root holds two level-4 tables: entry 0 the lower
           half's (its entries 0-255 only), entry 511 the upper half's
           (256-511 only), so nothing between the halves is mapped. */
        const uint64_t* top = (const uint64_t*)(uintptr_t)(window + root);
        uint64_t halves[2] = {top[0] & ORACLE_ADDRESS_MASK, top[511] & ORACLE_ADDRESS_MASK};
        unsigned stray = 0;
        for (unsigned i = 1; i < 511; i++) {
            stray += top[i] != 0;
        }
        for (unsigned h = 0; h < 2 && halves[0] && halves[1]; h++) {
            const uint64_t* half = (const uint64_t*)(uintptr_t)(window + halves[h]);
            for (unsigned i = 0; i < 256; i++) {
                stray += half[h == 0 ? 256 + i : i] != 0;
            }
        }
        int shaped = (top[0] & ~(ORACLE_ADDRESS_MASK | UPPER_IGNORED)) == 3 &&
                     (top[511] & ~(ORACLE_ADDRESS_MASK | UPPER_IGNORED)) == 3 && halves[0] &&
                     halves[1] && halves[0] != halves[1] && stray == 0;
        VERDICT("five-level-root", shaped, "root entries 0 and 511, or other entries used", top[0],
                top[511]);
        if (!shaped) {
            return failures;
        }
        for (unsigned h = 0; h < 2; h++) {
            w.census.tables++;
            if (visit) {
                visit(context, halves[h]);
            }
            w.root = halves[h];
            walk_table(&w, halves[h], 4, 0, h * 256, h * 256 + 256);
        }
    }
    uint64_t missing = 0, first_missing = 0;
    for (uint32_t e = 0; e + 1 < point_count; e++) {
        uint64_t length = points[e + 1] - points[e];
        if (required_at[e] && winner[e] >= 0 && matched[e] != length) {
            if (missing == 0) {
                first_missing = canonical(points[e]);
            }
            missing += length - matched[e];
        }
    }
    VERDICT("table-entries", w.bad_upper == 0 && w.empty_tables == 0,
            w.bad_upper ? "upper entry not a table address with 0x3" : "a table with no entry",
            w.bad_upper ? w.bad_upper : w.empty_tables,
            w.bad_upper ? w.first_upper : w.first_empty);
    VERDICT("leaves-right", w.wrong == 0, "leaves with another page or flags, first at", w.wrong,
            w.first_wrong);
    VERDICT("nothing-else-mapped", w.stray == 0, "leaves no mapping explains, first at", w.stray,
            w.first_stray);
    VERDICT("all-mapped", missing == 0, "pages not mapped, first in the run from", missing,
            first_missing);
#undef VERDICT
    if (census) {
        *census = w.census;
    }
    return failures;
}
