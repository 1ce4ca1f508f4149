// How the builder stores level-1 entries, the bulk of every table byte it
// writes: 512 whole tables per GiB mapped.
#pragma once

#include <stdint.h>

// Writes `count` leaves from `entries`: the first is `first_entry`, each
// following one maps the next 4 KiB page. `range_pages` is the size of the
// whole mapping the run belongs to; it decides how the stores are made.
void write_leaves(uint64_t* entries, uint64_t count, uint64_t first_entry, uint64_t range_pages);

// Orders every leaf written so far before all later stores. The builder calls
// it before it returns, so the tables are complete before anyone uses them.
void make_leaf_stores_visible();
