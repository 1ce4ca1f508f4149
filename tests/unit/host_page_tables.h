// Page tables in host memory for tests, fuzz targets and benchmarks: a page
// source over a pre-allocated run of host pages, a software walk of the
// tables built, and firmware memory maps with any descriptor stride.
#pragma once

#include "mm/page_table_builder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

// Hands out pages of one host allocation, one at a time, in ascending order.
// Pages arrive filled with 0xCC (unless `fill` is false) so that a missing
// zero-fill shows.
class HostPageArena {
  public:
    explicit HostPageArena(uint64_t capacity_pages, bool fill = true)
        : capacity_(capacity_pages),
          pages_(static_cast<uint8_t*>(std::aligned_alloc(4096, capacity_pages * 4096)),
                 std::free) {
        if (fill) {
            std::memset(pages_.get(), 0xCC, capacity_pages * 4096);
        }
    }

    PageSource source() { return {take, this}; }
    uint64_t handed_out() const { return handed_out_; }
    uint64_t base() const { return reinterpret_cast<uint64_t>(pages_.get()); }
    void rewind() { next_ = handed_out_ = 0; }

    // A zero-filled page for a root; not counted as handed out.
    uint64_t fresh_root() {
        const uint64_t root = take(this, 1).address;
        std::memset(reinterpret_cast<void*>(root), 0, 4096);
        --handed_out_;
        return root;
    }

  private:
    static Allocation take(void* context, uint64_t page_count) {
        auto* arena = static_cast<HostPageArena*>(context);
        if (page_count != 1 || arena->next_ == arena->capacity_) {
            return {0, 0};
        }
        ++arena->handed_out_;
        return {arena->base() + arena->next_++ * 4096, 4096};
    }

    uint64_t capacity_;
    std::unique_ptr<uint8_t, decltype(&std::free)> pages_;
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

struct HostDescriptor {
    uint32_t type;
    uint64_t base;
    uint64_t pages;
};

// A firmware memory map in host memory; the bytes between descriptors hold 0xEE.
class HostMemoryMap {
  public:
    explicit HostMemoryMap(const std::vector<HostDescriptor>& descriptors, uint64_t stride = 48)
        : stride_(stride), count_(descriptors.size()),
          words_(descriptors.size() * stride / 8 + 1, 0xEEEEEEEEEEEEEEEEull) {
        for (uint64_t i = 0; i < count_; ++i) {
            const HostDescriptor& d = descriptors[i];
            const EFI_MEMORY_DESCRIPTOR descriptor = {d.type, 0, d.base, 0, d.pages, 0};
            std::memcpy(reinterpret_cast<uint8_t*>(words_.data()) + i * stride, &descriptor,
                        sizeof(descriptor));
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
