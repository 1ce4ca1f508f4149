// Memory from the firmware. Everything the loader obtains is loader data, is
// never freed, and is recorded in the page ledger.
#pragma once

#include <stdint.h>

// Address 0 means nothing was obtained; the length is then 0 as well.
struct Allocation {
    uint64_t address;
    uint64_t length;

    bool ok() const { return address != 0; }
};

// `page_count` pages of 4096 bytes anywhere in physical memory, not cleared.
Allocation alloc_pages(uint64_t page_count);

// A pool block of `byte_count` bytes, not cleared.
Allocation alloc_pool(uint64_t byte_count);
