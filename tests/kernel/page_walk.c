#include "page_walk.h"

#define ENTRIES_PER_TABLE 512u
#define LEAF_FLAGS (PTE_PRESENT | PTE_WRITABLE)
/* Bits the processor sets on its own. */
#define UPPER_IGNORED PTE_ACCESSED
#define LEAF_IGNORED (PTE_ACCESSED | PTE_DIRTY)

static inline const uint64_t* table_at(const struct page_walk* walk, uint64_t physical) {
    return (const uint64_t*)(uintptr_t)(walk->window + physical);
}

static inline unsigned table_index(uint64_t virtual_address, unsigned level) {
    return (unsigned)(virtual_address >> (12 + 9 * (level - 1))) & (ENTRIES_PER_TABLE - 1);
}

/* The highest bit that the tables translate: 47, or 56 with five levels. */
static inline uint64_t sign_bit(const struct page_walk* walk) {
    return 1ull << (11 + 9 * walk->levels);
}

static inline bool is_canonical(const struct page_walk* walk, uint64_t virtual_address) {
    uint64_t high = virtual_address & ~(sign_bit(walk) - 1);
    return high == 0 || high == ~(sign_bit(walk) - 1);
}

/* Sign-extends the top bit so that index-built addresses print as real ones. */
static inline uint64_t canonical(const struct page_walk* walk, uint64_t virtual_address) {
    return (virtual_address & sign_bit(walk)) ? (virtual_address | ~(sign_bit(walk) - 1))
                                              : virtual_address;
}

bool upper_entry_valid(uint64_t entry) {
    return (entry & ~(PTE_ADDRESS_MASK | UPPER_IGNORED)) == LEAF_FLAGS &&
           (entry & PTE_ADDRESS_MASK) != 0;
}

static inline bool leaf_entry_matches(uint64_t entry, uint64_t wanted) {
    return ((entry ^ wanted) & ~LEAF_IGNORED) == 0;
}

static void fail(struct walk_failure* failure, uint64_t virtual_address, unsigned level,
                 uint64_t entry, uint64_t expected) {
    failure->virtual_address = virtual_address;
    failure->level = level;
    failure->entry = entry;
    failure->expected = expected;
}

/* Follows the levels above 1 for the address; returns its level-1 table. */
static const uint64_t* level1_table(const struct page_walk* walk, uint64_t virtual_address,
                                    struct walk_failure* failure) {
    if (!is_canonical(walk, virtual_address)) {
        fail(failure, virtual_address, 0, 0, 0);
        return 0;
    }
    uint64_t table = walk->root;
    for (unsigned level = walk->levels; level >= 2; level--) {
        uint64_t entry = table_at(walk, table)[table_index(virtual_address, level)];
        if (!upper_entry_valid(entry)) {
            fail(failure, virtual_address, level, entry, 0);
            return 0;
        }
        table = entry & PTE_ADDRESS_MASK;
    }
    return table_at(walk, table);
}

bool walk_check_run(const struct page_walk* walk, uint64_t virtual_start, uint64_t physical_start,
                    uint64_t pages, struct walk_failure* failure) {
    uint64_t virtual_address = virtual_start;
    uint64_t wanted = physical_start | LEAF_FLAGS;
    while (pages > 0) {
        const uint64_t* table = level1_table(walk, virtual_address, failure);
        if (!table) {
            return false;
        }
        unsigned first = table_index(virtual_address, 1);
        uint64_t run = ENTRIES_PER_TABLE - first;
        if (run > pages) {
            run = pages;
        }
        /* One pass over the run without a branch per entry: any difference
           outside the ignored bits survives the OR. At 1 TiB of RAM this loop
           sees about half a billion entries. */
        const uint64_t* entries = table + first;
        uint64_t differences = 0;
        uint64_t next = wanted;
        for (uint64_t i = 0; i < run; i++) {
            differences |= entries[i] ^ next;
            next += PAGE_SIZE;
        }
        if (differences & ~LEAF_IGNORED) {
            for (uint64_t i = 0; i < run; i++) {
                uint64_t expected = wanted + i * PAGE_SIZE;
                if (!leaf_entry_matches(entries[i], expected)) {
                    fail(failure, virtual_address + i * PAGE_SIZE, 1, entries[i], expected);
                    return false;
                }
            }
        }
        wanted = next;
        virtual_address += run * PAGE_SIZE;
        pages -= run;
    }
    return true;
}

bool walk_translate(const struct page_walk* walk, uint64_t virtual_address, uint64_t* physical,
                    struct walk_failure* failure) {
    const uint64_t* table = level1_table(walk, virtual_address, failure);
    if (!table) {
        return false;
    }
    uint64_t entry = table[table_index(virtual_address, 1)];
    if ((entry & ~(PTE_ADDRESS_MASK | LEAF_IGNORED)) != LEAF_FLAGS) {
        fail(failure, virtual_address & ~(PAGE_SIZE - 1), 1, entry,
             (entry & PTE_ADDRESS_MASK) | LEAF_FLAGS);
        return false;
    }
    *physical = (entry & PTE_ADDRESS_MASK) | (virtual_address & (PAGE_SIZE - 1));
    return true;
}

static void note_invalid(const struct page_walk* walk, struct table_census* census,
                         uint64_t virtual_address, unsigned level, uint64_t entry) {
    if (census->invalid_entries == 0) {
        fail(&census->first_invalid, canonical(walk, virtual_address), level, entry, 0);
    }
    census->invalid_entries++;
}

/* Visits the tables that the entries of `table` (a level-`level` table
   covering virtual addresses from `base`) point to, and below them down to
   the level-1 tables, whose entries are leaves. */
static void census_below(const struct page_walk* walk, uint64_t table, unsigned level,
                         uint64_t base, table_visitor visit, void* context,
                         struct table_census* census) {
    const uint64_t* entries = table_at(walk, table);
    for (uint64_t i = 0; i < ENTRIES_PER_TABLE; i++) {
        uint64_t entry = entries[i];
        uint64_t virtual_address = base | (i << (12 + 9 * (level - 1)));
        if (entry == 0) {
            continue;
        }
        if (!upper_entry_valid(entry)) {
            note_invalid(walk, census, virtual_address, level, entry);
            continue;
        }
        visit(context, entry & PTE_ADDRESS_MASK);
        census->tables++;
        if (level > 2) {
            census_below(walk, entry & PTE_ADDRESS_MASK, level - 1, virtual_address, visit, context,
                         census);
        }
    }
}

void walk_census(const struct page_walk* walk, table_visitor visit, void* context,
                 struct table_census* census) {
    census->tables = 1;
    census->invalid_entries = 0;
    census->first_invalid = (struct walk_failure){0, 0, 0, 0};
    visit(context, walk->root);
    census_below(walk, walk->root, walk->levels, 0, visit, context, census);
}
