// Page-table pages obtained ahead of time. The builder needs about a
// thousand table pages per GiB of RAM; asked for one at a time, the firmware
// hands them out scattered and each would take a ledger range of its own.
// Counting the need first and obtaining it in one run (or a few) keeps the
// ledger short on machines of any size.
#pragma once

#include "firmware/memory_map.h"
#include "mm/handover_pages.h"
#include "mm/page_table_builder.h"
#include "mm/processor_view.h"

#include <quillmor/handoff.h>

#include <stdint.h>

// Counts, as a tight upper bound, the table pages that a sequence of
// mappings creates below an existing root: one table per distinct 2 MiB,
// 1 GiB and 512 GiB slot the mapped pages touch. Ranges that follow one
// another in address order share their boundary slots and are counted
// exactly; ranges in any other order are only counted more.
class TablePageCounter {
  public:
    void add_range(uint64_t virtual_start, uint64_t length);
    uint64_t pages() const;

  private:
    struct Level {
        uint64_t last_slot = 0;
        uint64_t tables = 0;
        bool seen = false;
    };
    Level levels_[3];
};

// The table pages the loader's mappings can need: identity and direct map of
// the first memory map, the processor's pages, the kernel image, the
// framebuffer, the handover's pages, and the fifth-level tables when there
// are.
uint64_t estimate_table_pages(const MemoryMap& map, const LoadPlan& plan,
                              const quillmor_handoff& record, const ProcessorView& processor,
                              const HandoverPages& handover = {});

class TablePagePool {
  public:
    static constexpr uint64_t kMaxRuns = 32;

    // Obtains `page_count` pages from the firmware: one run if the firmware
    // has one that long, else runs of half the size, and so on. Whatever
    // cannot be had is simply missing: the pool then runs dry while mapping,
    // which the builder reports as any page it cannot get.
    void reserve(uint64_t page_count);

    // The pool as the builder's page source: one page per request.
    PageSource source();

    uint64_t pages_reserved() const { return reserved_; }
    uint64_t pages_handed_out() const { return handed_out_; }
    uint64_t run_count() const { return run_count_; }

  private:
    struct Run {
        uint64_t next;
        uint64_t end;
    };

    Allocation take(uint64_t page_count);
    static Allocation take_from(void* pool, uint64_t page_count);

    Run runs_[kMaxRuns] = {};
    uint64_t run_count_ = 0;
    uint64_t current_ = 0;
    uint64_t reserved_ = 0;
    uint64_t handed_out_ = 0;
};
