// A software walk of four-level page tables written at their physical
// addresses, as the host tests see them: every leaf in address order.
#pragma once

#include "mm/page_table_builder.h"

#include <cstdint>
#include <utility>
#include <vector>

// (virtual page number, the 36 bits the four levels index; level-1 entry)
using Leaves = std::vector<std::pair<uint64_t, uint64_t>>;

struct TableWalk {
    Leaves leaves;
    uint64_t tables = 0;             // below the root
    bool upper_entries_plain = true; // every upper entry a table address with 0x3
};

inline void walk_tables(uint64_t table, int level, uint64_t prefix, TableWalk& walk) {
    for (uint64_t i = 0; i < paging::kEntriesPerTable; ++i) {
        const uint64_t entry = reinterpret_cast<const uint64_t*>(table)[i];
        if (entry != 0 && level == 1) {
            walk.leaves.emplace_back(prefix << 9 | i, entry);
        } else if (entry != 0) {
            walk.upper_entries_plain &= (entry & ~paging::kAddressMask) == paging::kEntryFlags;
            ++walk.tables;
            walk_tables(entry & paging::kAddressMask, level - 1, prefix << 9 | i, walk);
        }
    }
}

inline TableWalk walk_tables(uint64_t root) {
    TableWalk walk;
    walk_tables(root, 4, 0, walk);
    return walk;
}
