/*
 * Software walk of four- or five-level x86-64 page tables, 4 KiB pages only.
 *
 * The loader builds every entry as (physical address | present | writable)
 * and nothing else. The processor may since have set the accessed bit in
 * any entry it used and the dirty bit in leaves it wrote through, so those
 * two bits are ignored; every other bit is compared exactly.
 *
 * Table pages are read through a window: the virtual address at which
 * physical address 0 is visible (the direct-map offset in the kernel).
 */
#ifndef KTEST_PAGE_WALK_H
#define KTEST_PAGE_WALK_H

#include <stdbool.h>
#include <stdint.h>

#define PAGE_SIZE 4096ull
#define PTE_PRESENT 0x1ull
#define PTE_WRITABLE 0x2ull
#define PTE_ACCESSED 0x20ull
#define PTE_DIRTY 0x40ull
#define PTE_LARGE 0x80ull
#define PTE_ADDRESS_MASK 0x000ffffffffff000ull

struct page_walk {
    uint64_t root;   /* physical address of the top-level table */
    uint64_t window; /* virtual address of physical address 0 */
    unsigned levels; /* 4, or 5 when CR4.LA57 is set */
};

/* Where and why a walk failed. Level 5 to 1 names the table whose entry was
   wrong; level 0 means the virtual address itself is not canonical. */
struct walk_failure {
    uint64_t virtual_address;
    unsigned level;
    uint64_t entry;
    uint64_t expected; /* the leaf entry wanted; 0 for upper levels */
};

/* Physical addresses from 2^47 on have no direct-map address: offset +
   address would leave the 64-bit address space. */
#define DIRECT_MAP_PHYSICAL_LIMIT (1ull << 47)

static inline uint64_t page_floor(uint64_t address) {
    return address & ~(PAGE_SIZE - 1);
}

/* Pages that hold at least one byte of [base, base + length); the caller has
   ruled out overflow of the end. */
static inline uint64_t pages_covering(uint64_t base, uint64_t length) {
    return (page_floor(base + length + PAGE_SIZE - 1) - page_floor(base)) / PAGE_SIZE;
}

/* True when an entry of level 5, 4, 3 or 2 is exactly (table | present |
   writable), with a non-zero table address. */
bool upper_entry_valid(uint64_t entry);

/* Checks that the `pages` virtual pages from `virtual_start` (page-aligned)
   are mapped by level-1 entries to the consecutive physical pages from
   `physical_start` (page-aligned). The upper levels are walked once per
   level-1 table, then that table's run of entries is compared in one pass. */
bool walk_check_run(const struct page_walk* walk, uint64_t virtual_start, uint64_t physical_start,
                    uint64_t pages, struct walk_failure* failure);

/* Translates one virtual address through a valid path and leaf. */
bool walk_translate(const struct page_walk* walk, uint64_t virtual_address, uint64_t* physical,
                    struct walk_failure* failure);

/* Result of a walk over the whole tree. */
struct table_census {
    uint64_t tables;          /* table pages reachable from the root, root included */
    uint64_t invalid_entries; /* non-zero upper entries that are not valid */
    struct walk_failure first_invalid;
};

/* Called once for every table page, root included. */
typedef void (*table_visitor)(void* context, uint64_t table_physical);

/* Visits every table reachable from the root through valid upper entries and
   checks every non-zero entry of the upper levels. Level-1 entries are not
   read. The loader shares no table between two parents, so each visit is a
   distinct page. */
void walk_census(const struct page_walk* walk, table_visitor visit, void* context,
                 struct table_census* census);

#endif
