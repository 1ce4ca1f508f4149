// Random memory maps, kernel ranges and framebuffers through the page-table
// builder, in the boot's order, with and without a fifth-level root. The
// per-page reference works out which leaf every virtual page must end up
// with, or the check failure the run must end in. A software walk of the
// built tables must find exactly those leaves, every upper entry a table
// address with the flags 0x3, and no table page that no leaf needs. The
// table-page estimate must cover what the build took, and must be exact (the
// distinct 2 MiB, 1 GiB and 512 GiB slots of each stream of mappings) when
// every stream comes in address order.
#include "firmware/page_ledger.h"
#include "mm/processor_view.h"
#include "mm/table_page_pool.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/page_walk.h"

#include <map>
#include <set>
#include <vector>

namespace {

using u128 = unsigned __int128;

struct Reference {
    std::map<uint64_t, uint64_t> leaves; // page number (the 36 indexed bits) -> entry
    std::set<uint64_t> slots[3]; // per stream (identity, direct map, the rest): level << 60 | slot
    uint64_t stream_end[3] = {};
    bool in_order = true;

    // The leaves of one mapping; false where its arithmetic leaves 64 bits.
    bool map(int stream, uint64_t virtual_start, u128 physical, uint64_t length) {
        const u128 end = (u128{virtual_start} + length + 4095) & ~u128{4095};
        if (end > ~0ull || length == 0) {
            return length == 0 && end <= ~0ull;
        }
        in_order = in_order && (virtual_start & ~0xfffull) >= stream_end[stream];
        stream_end[stream] = static_cast<uint64_t>(end);
        physical &= ~u128{0xfff};
        for (uint64_t page = virtual_start & ~0xfffull; page < end;
             page += 4096, physical += 4096) {
            leaves[page >> 12 & ((1ull << 36) - 1)] = static_cast<uint64_t>(physical) | 3;
            for (uint64_t level = 1; level <= 3; ++level) {
                slots[stream].insert(level << 60 | page >> (12 + 9 * level));
            }
            if (physical + 4096 > ~0ull) { // the leaf of the last page is written, then it fails
                return false;
            }
        }
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint8_t stride_selector = in.take<uint8_t>();
    const uint64_t stride =
        40 + (stride_selector & 0x80 ? stride_selector & 0x7f : 8 * (stride_selector & 7));
    std::vector<HostDescriptor> map;
    LoadPlan kernel = {};
    quillmor_handoff record = {};
    ProcessorView processor = {};
    // Kind 0: a descriptor of `length` >> 12 pages (with 0x40: a count past
    // 2^52); 1: the kernel, `type` pages and `kind` >> 4 bytes at `base` on
    // physical `length`; 2: a framebuffer of `type` + 1 lines of `length`
    // bytes at `base`; 3: a fifth level.
    in.items(16, [&](uint8_t kind, uint8_t type, uint64_t base, uint64_t length) {
        if ((kind & 3) == 0) {
            map.push_back({type, base, kind & 0x40 ? length | 1ull << 52 : length >> 12 & 1023});
        } else if ((kind & 3) == 1) {
            kernel = {.virtual_base = base,
                      .physical_base = length,
                      .image_size = type * 4096ull + (kind >> 4)};
        } else if ((kind & 3) == 2) {
            record.framebuffer_count = 1;
            record.framebuffer_address = base;
            record.framebuffer_height = type + 1u;
            record.framebuffer_pitch = length & 0xfffff;
        }
        processor.five_level_paging = processor.five_level_paging || (kind & 3) == 3;
        return true;
    });
    const uint64_t fb = record.framebuffer_address;

    // Descriptor by descriptor in map order, identity before direct map; then
    // the kernel and the framebuffer.
    Reference reference;
    std::string outcome = "mapped";
    for (uint64_t i = 0; i < map.size() && outcome == "mapped"; ++i) {
        const HostDescriptor& d = map[i];
        const bool ram = d.pages != 0 && d.type <= 15 && (0xc6fe >> d.type & 1) != 0;
        const bool mapped =
            d.pages >> 52 == 0 &&
            (!ram || (reference.map(0, d.base, d.base, d.pages << 12) && d.base < (1ull << 47) &&
                      reference.map(1, d.base + kDirectMapOffset, d.base, d.pages << 12)));
        outcome = i * stride % 8 != 0 ? "check incorrect alignment"
                  : mapped            ? outcome
                                      : "check integer overflow";
    }
    const uint64_t fb_size = uint64_t{record.framebuffer_height} * record.framebuffer_pitch;
    if (outcome == "mapped" &&
        (!reference.map(2, kernel.virtual_base, kernel.physical_base, kernel.image_size) ||
         (record.framebuffer_count != 0 &&
          (fb >= (1ull << 47) || !reference.map(2, fb + kDirectMapOffset, fb, fb_size))))) {
        outcome = "check integer overflow";
    }

    // Table pages from the fake firmware's arena, which arrive filled with 0xCC.
    LoaderRun run(8 << 20);
    page_ledger().clear();
    std::vector<uint64_t> buffer;
    const MemoryMap firmware_map = reading(run.firmware, map, stride, buffer);
    PageTableBuilder builder = create_page_table_root();
    const quillmor_handoff original = record;
    expect_same(
        run([&] {
            return map_physical_memory(builder, firmware_map) &&
                           map_kernel_image(builder, kernel) &&
                           (record.framebuffer_count == 0 || map_framebuffer(builder, record)) &&
                           (!processor.five_level_paging || add_five_level_root(builder) != 0)
                       ? "mapped"
                       : "failed";
        }),
        outcome);
    if (outcome != "mapped") {
        return 0;
    }
    const TableWalk walk = walk_tables(builder.root);
    require(walk.leaves == Leaves(reference.leaves.begin(), reference.leaves.end()),
            "the leaves are not the pages mapped");
    require(walk.upper_entries_plain, "upper entry flags");
    std::set<uint64_t> needed; // one table per distinct prefix of the leaves
    for (const auto& leaf : walk.leaves) {
        needed.insert(
            {leaf.first >> 9, 1ull << 40 | leaf.first >> 18, 2ull << 40 | leaf.first >> 27});
    }
    const uint64_t roots = processor.five_level_paging ? kFiveLevelTablePages : 0;
    const std::vector<std::string>& calls = run.firmware.calls; // the root first
    const uint64_t taken =
        static_cast<uint64_t>(std::count(calls.begin(), calls.end(), "AllocatePages")) - 1;
    require(walk.tables == needed.size() && taken == walk.tables + roots, "table pages taken");
    const uint64_t estimate = estimate_table_pages(firmware_map, kernel, original, processor);
    const uint64_t slots =
        reference.slots[0].size() + reference.slots[1].size() + reference.slots[2].size();
    require(estimate >= taken && (!reference.in_order || estimate == slots + roots),
            "the estimate below the tables built, or not exact in address order");
    require(record.framebuffer_count == 0 || record.framebuffer_address == fb + kDirectMapOffset,
            "framebuffer address");
    return 0;
}
