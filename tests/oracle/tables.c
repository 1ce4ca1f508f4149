/*
 * The page tables against the mappings the protocol promises, by a walk of
 * every entry. The walk meets the leaves in address order; a cursor moves
 * with it through the intervals the runs' edges cut, each judged by the run
 * that wins it (the last one made), so every leaf and every page a run
 * requires is judged once, with no sorting and no table of intervals.
 */
#include "oracle.h"

/* Room for two runs for each descriptor of a map of a thousand, and the few
   ranges the handover adds; the firmwares' maps hold a few hundred, the fake's
   and the fuzz targets' fewer. */
#define MAX_RUNS 2048u
#define VPN_SPACE (1ull << 36)
#define UPPER_IGNORED 0x20ull /* accessed, set by the processor */
#define LEAF_IGNORED 0x60ull  /* accessed and dirty */

static struct run {
    uint64_t vpn, pages, ppn;
    int required;
} runs[MAX_RUNS];
static uint32_t run_count;

void oracle_tables_begin(void) {
    run_count = 0;
}

void oracle_tables_expect(uint64_t virtual_start, uint64_t physical, uint64_t length,
                          int required) {
    uint64_t first = virtual_start >> 12, last = (virtual_start + (length - 1)) >> 12;
    if (length != 0 && run_count < MAX_RUNS) {
        runs[run_count++] =
            (struct run){first % VPN_SPACE, last - first + 1, physical >> 12, required};
    }
}

/* What the walk found wrong, by kind: how much, and where first. */
enum { UPPER, EMPTY, WRONG, STRAY, MISSING, KINDS };

static struct walk {
    uint64_t window;
    unsigned levels;
    void (*visit)(void*, uint64_t);
    void* context;
    uint64_t count[KINDS], first[KINDS];
    /* The interval [start, next) the cursor is in: how many of its leaves
       are right, the run that wins it (0: none), and whether a run holding
       it must be mapped. */
    struct interval {
        uint64_t start, next, matched;
        const struct run* winner;
        int required;
    } at;
} w;

static void tally(int kind, uint64_t amount, uint64_t where) {
    w.first[kind] = w.count[kind] == 0 ? where : w.first[kind];
    w.count[kind] += amount;
}

/* Closes the cursor's interval, then opens the one from its end: the last
   run holding that page wins it, and it ends at the first edge of a run
   after that page. */
static void advance(void) {
    struct interval* at = &w.at;
    if (at->required && at->matched != at->next - at->start) {
        tally(MISSING, at->next - at->start - at->matched, at->start << 12);
    }
    *at = (struct interval){.start = at->next, .next = VPN_SPACE};
    for (uint32_t i = 0; i < run_count; i++) {
        uint64_t from = runs[i].vpn, end = (from + runs[i].pages) % VPN_SPACE;
        at->next = from > at->start && from < at->next ? from : at->next;
        at->next = end > at->start && end < at->next ? end : at->next;
        if ((at->start - from) % VPN_SPACE < runs[i].pages) {
            at->winner = &runs[i];
            at->required |= runs[i].required;
        }
    }
}

static void judge_leaf(uint64_t vpn, uint64_t entry) {
    /* Under five levels a page has a 48-bit address only where its own
       sign-extends to it; the others no mapping explains. */
    uint64_t page = vpn % VPN_SPACE;
    int reached = w.levels == 4 || vpn == (page >> 35 ? page | 0x1ffull << 36 : page);
    while (reached && page >= w.at.next) {
        advance();
    }
    const struct run* r = reached ? w.at.winner : 0;
    if (r == 0) {
        tally(STRAY, 1, vpn << 12);
    } else if ((entry & ~LEAF_IGNORED) != ((r->ppn + (page - r->vpn) % VPN_SPACE) << 12 | 3)) {
        tally(WRONG, 1, page << 12);
    } else {
        w.at.matched++;
    }
}

/* Every table is visited, the root first; a root may be empty, and so may a
   half of one under five levels. */
static void walk_table(uint64_t table, unsigned level, uint64_t prefix) {
    const uint64_t* entries = (const uint64_t*)(uintptr_t)(w.window + table);
    unsigned used = 0;
    if (w.visit) {
        w.visit(w.context, table);
    }
    for (uint64_t i = 0; i < 512; i++) {
        uint64_t entry = entries[i], next = entry & ORACLE_ADDRESS_MASK;
        used += entry != 0;
        if (entry != 0 && level == 1) {
            judge_leaf(prefix << 9 | i, entry);
        } else if (entry != 0 &&
                   ((entry & ~(ORACLE_ADDRESS_MASK | UPPER_IGNORED)) != 3 || next == 0)) {
            tally(UPPER, 1, entry);
        } else if (entry != 0) {
            walk_table(next, level - 1, prefix << 9 | i);
        }
    }
    if (used == 0 && level < 4) {
        tally(EMPTY, 1, table);
    }
}

uint64_t oracle_tables_check(uint64_t root, unsigned levels, uint64_t window, oracle_note note,
                             void* context, void (*visit)(void*, uint64_t)) {
    static const char* const checks[KINDS] = {"upper-entries", "no-empty-table", "leaves-right",
                                              "nothing-else-mapped", "all-mapped"};
    w = (struct walk){.window = window, .levels = levels, .visit = visit, .context = context};
    walk_table(root, levels, 0);
    while (w.at.start < VPN_SPACE) {
        advance();
    }
    uint64_t failures = 0;
    for (int kind = 0; kind < KINDS; kind++) {
        failures += w.count[kind] != 0;
        note(context, checks[kind], w.count[kind] ? "count, first at" : 0, w.count[kind],
             w.first[kind]);
    }
    return failures;
}
