// Page tables in host memory for tests, fuzz targets and benchmarks: a page
// source over a pre-allocated run of host pages, software walks of the tables
// built, and the per-page reference builder the loader's builder must match.
#pragma once

#include "mm/page_table_builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// Hands out pages of one host allocation, one at a time, in ascending order.
// Pages arrive filled with 0xCC so that a missing zero-fill shows.
class HostPageArena {
  public:
    explicit HostPageArena(uint64_t capacity_pages, bool fill = true)
        : capacity_(capacity_pages),
          base_(static_cast<uint8_t*>(std::aligned_alloc(4096, capacity_pages * 4096))) {
        if (base_ == nullptr) {
            throw std::bad_alloc();
        }
        if (fill) {
            std::memset(base_, 0xCC, capacity_pages * 4096);
        }
    }
    ~HostPageArena() { std::free(base_); }
    HostPageArena(const HostPageArena&) = delete;
    HostPageArena& operator=(const HostPageArena&) = delete;

    // Fails every request once this many pages have been handed out; -1: never.
    int64_t fail_after = -1;

    PageSource source() { return {take, this}; }
    uint64_t handed_out() const { return handed_out_; }
    uint64_t base() const { return reinterpret_cast<uint64_t>(base_); }
    void rewind() { next_ = handed_out_ = 0; }

    // A zero-filled page for a root; not counted as handed out.
    uint64_t fresh_root() {
        if (next_ >= capacity_) {
            throw std::bad_alloc();
        }
        const uint64_t page = base() + next_++ * 4096;
        std::memset(reinterpret_cast<void*>(page), 0, 4096);
        return page;
    }

  private:
    static Allocation take(void* context, uint64_t page_count) {
        auto* arena = static_cast<HostPageArena*>(context);
        if (page_count != 1 || arena->next_ >= arena->capacity_ ||
            (arena->fail_after >= 0 &&
             arena->handed_out_ >= static_cast<uint64_t>(arena->fail_after))) {
            return {0, 0};
        }
        ++arena->handed_out_;
        return {arena->base() + arena->next_++ * 4096, 4096};
    }

    uint64_t capacity_;
    uint8_t* base_;
    uint64_t next_ = 0;
    uint64_t handed_out_ = 0;
};

inline const uint64_t* host_table(uint64_t entry) {
    return reinterpret_cast<const uint64_t*>(entry & paging::kAddressMask);
}

// The level-1 entry that maps `virtual_address` under `root`, or 0 when some
// level on the way is not present.
inline uint64_t leaf_entry(uint64_t root, uint64_t virtual_address) {
    const uint64_t* table = host_table(root);
    for (const unsigned shift :
         {paging::kLevel4Shift, paging::kLevel3Shift, paging::kLevel2Shift}) {
        const uint64_t entry = table[paging::table_index(virtual_address, shift)];
        if ((entry & paging::kPresent) == 0) {
            return 0;
        }
        table = host_table(entry);
    }
    return table[paging::table_index(virtual_address, paging::kLevel1Shift)];
}

// A firmware memory map in host memory, with any descriptor stride.
struct HostDescriptor {
    uint32_t type;
    uint64_t base;
    uint64_t pages;
};

class HostMemoryMap {
  public:
    explicit HostMemoryMap(const std::vector<HostDescriptor>& descriptors, uint64_t stride = 48)
        : stride_(stride), count_(descriptors.size()),
          words_(descriptors.size() * stride / 8 + 1, 0xEEEEEEEEEEEEEEEEull) {
        auto* bytes = reinterpret_cast<uint8_t*>(words_.data());
        for (uint64_t i = 0; i < count_; ++i) {
            EFI_MEMORY_DESCRIPTOR descriptor = {};
            descriptor.Type = descriptors[i].type;
            descriptor.PhysicalStart = descriptors[i].base;
            descriptor.NumberOfPages = descriptors[i].pages;
            std::memcpy(bytes + i * stride, &descriptor, sizeof(descriptor));
        }
    }

    MemoryMap map() const {
        return {0x77, stride_, count_, 1, reinterpret_cast<uint64_t>(words_.data())};
    }

  private:
    uint64_t stride_;
    uint64_t count_;
    std::vector<uint64_t> words_;
};

// The per-page algorithm: a walk from the root for every 4 KiB page.
inline bool reference_map_range(PageTableBuilder& builder, uint64_t virtual_start,
                                uint64_t physical_start, uint64_t length) {
    if (builder.root == 0) {
        return false;
    }
    const uint64_t start = virtual_start & ~0xfffull;
    const uint64_t end = (virtual_start + length + 0xfff) & ~0xfffull;
    if (length == 0 || end <= start) {
        return true;
    }
    uint64_t physical = physical_start & ~0xfffull;
    for (uint64_t page = start; page < end; page += 4096, physical += 4096) {
        auto* table = reinterpret_cast<uint64_t*>(builder.root);
        for (const unsigned shift : {39u, 30u, 21u}) {
            uint64_t& entry = table[(page >> shift) & 511];
            if ((entry & 1) != 0) {
                if ((entry & 0x80) != 0) {
                    return false;
                }
            } else {
                const Allocation fresh = builder.source.allocate_pages(builder.source.context, 1);
                if (!fresh.ok()) {
                    builder.out_of_pages = true;
                    return false;
                }
                std::memset(reinterpret_cast<void*>(fresh.address), 0, fresh.length);
                entry = fresh.address | 0x3;
            }
            table = reinterpret_cast<uint64_t*>(entry & 0x000ffffffffff000ull);
        }
        table[(page >> 12) & 511] = physical | 0x3;
    }
    return true;
}

inline bool reference_map_memory(PageTableBuilder& builder,
                                 const std::vector<HostDescriptor>& map) {
    for (const HostDescriptor& d : map) {
        if (d.pages == 0 || d.type > 15 || ((0xc6fe >> d.type) & 1) == 0) {
            continue;
        }
        if (!reference_map_range(builder, d.base, d.base, d.pages * 4096) ||
            !reference_map_range(builder, d.base + kDirectMapOffset, d.base, d.pages * 4096)) {
            return false;
        }
    }
    return true;
}

// Same present entries at every level and the same leaf values; the table
// pages themselves lie at different addresses.
inline bool same_tree(uint64_t a, uint64_t b, int level, uint64_t prefix, std::string& where) {
    for (uint64_t i = 0; i < paging::kEntriesPerTable; ++i) {
        const uint64_t ea = host_table(a)[i];
        const uint64_t eb = host_table(b)[i];
        const uint64_t address = prefix | (i << (12 + 9 * (level - 1)));
        const bool leaf = level == 1;
        if (leaf ? ea != eb
                 : ((ea == 0) != (eb == 0) ||
                    (ea & ~paging::kAddressMask) != (eb & ~paging::kAddressMask))) {
            char text[64];
            std::snprintf(text, sizeof(text), "level %d at 0x%llx", level,
                          static_cast<unsigned long long>(address));
            where = text;
            return false;
        }
        if (!leaf && ea != 0 && !same_tree(ea, eb, level - 1, address, where)) {
            return false;
        }
    }
    return true;
}
