// Random memory maps, kernel ranges and descriptor tables through the
// page-table builder, in the boot's order, with and without a
// fifth-level root. The target works out from the arithmetic alone whether a
// run must end in a check failure; after a build the oracle's walk of the
// tables must find exactly the mappings made (a later one winning where two
// meet), every upper entry a table address with the flags 0x3 and no empty
// table. The pages taken must be those tables; the table-page estimate must
// cover them, and be exact (the distinct 2 MiB, 1 GiB and 512 GiB slots of
// each stream of mappings) when every stream comes in address order.
#include "firmware/page_ledger.h"
#include "mm/processor_view.h"
#include "mm/table_page_pool.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using u128 = unsigned __int128;

// The mappings in the loader's order, by stream (identity, direct map, the
// rest): whether their arithmetic stays in 64 bits, whether each stream
// comes in address order, and the slots each stream's tables need.
struct Streams {
    uint64_t end[3] = {}, slots = 0;
    uint64_t next_slot[3][4] = {}; // the slot after the last one counted, 0 when none was
    bool in_order = true;

    bool map(int stream, uint64_t virtual_start, u128 physical, uint64_t length) {
        const u128 end_page = (u128{virtual_start} + length + 4095) & ~u128{4095};
        const uint64_t first = virtual_start & ~0xfffull;
        if (end_page > ~0ull || length == 0) {
            return length == 0 && end_page <= ~0ull;
        }
        if ((physical & ~u128{0xfff}) + (end_page - first) > ~0ull) {
            return false; // the last page's leaf is written, then the cursor fails
        }
        oracle_tables_expect(virtual_start, static_cast<uint64_t>(physical), length, 1);
        in_order = in_order && first >= end[stream];
        end[stream] = static_cast<uint64_t>(end_page);
        for (int level = 1; level <= 3; ++level) {
            const uint64_t low = first >> (12 + 9 * level);
            const uint64_t high = static_cast<uint64_t>((end_page - 1) >> (12 + 9 * level));
            slots += high - low + 1 - (next_slot[stream][level] == low + 1);
            next_slot[stream][level] = high + 1;
        }
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint64_t stride = 40 + 8 * (in.take<uint8_t>() & 7);
    std::vector<oracle_descriptor> map;
    LoadPlan kernel = {};
    ProcessorView processor = {};
    // Kind 0 and 2: a descriptor of `length` >> 12 pages; 1: the kernel,
    // `type` pages and `kind` >> 4 bytes at `base` on physical `length`; 3:
    // with 0x40 a descriptor table of `length` & 0xffff bytes at `base` (none
    // past 2^47), else a fifth level. (The framebuffer's mapping and its share
    // of the estimate are the whole boot's to judge.)
    in.items(16, [&](uint8_t kind, uint8_t type, uint64_t base, uint64_t length) {
        if ((kind & 1) == 0) {
            map.push_back({type, base, length >> 12 & 1023, 0});
        } else if ((kind & 3) == 1) {
            kernel = {.virtual_base = base,
                      .physical_base = length,
                      .image_size = type * 4096ull + (kind >> 4)};
        } else if (kind & 0x40) {
            const uint64_t bytes = length & 0xffff;
            processor.descriptor_tables[type & 1] = {base,
                                                     base <= (1ull << 47) - bytes ? bytes : 0};
        } else {
            processor.five_level_paging = true;
        }
    });

    // Descriptor by descriptor in map order, identity before direct map; then
    // the descriptor tables and the kernel. A run ends at the first mapping
    // whose arithmetic leaves 64 bits.
    Streams streams;
    oracle_tables_begin();
    bool mapped = true;
    for (const oracle_descriptor& d : map) {
        const bool ram = d.pages != 0 && oracle_is_ram(d.type);
        mapped = mapped &&
                 (!ram || (streams.map(0, d.base, d.base, d.pages << 12) && d.base < (1ull << 47) &&
                           streams.map(1, d.base + kDirectMapOffset, d.base, d.pages << 12)));
    }
    const IdentityRange* tables = processor.descriptor_tables;
    mapped = mapped && streams.map(2, tables[0].base, tables[0].base, tables[0].length) &&
             streams.map(2, tables[1].base, tables[1].base, tables[1].length) &&
             streams.map(2, kernel.virtual_base, kernel.physical_base, kernel.image_size);

    // Table pages from the fake firmware's arena, which arrive filled with 0xCC.
    LoaderRun run(8 << 20);
    page_ledger().clear();
    const MemoryMap firmware_map = run.reading(map, stride);
    PageTableBuilder builder = create_page_table_root();
    uint64_t root = builder.root;
    expect_same(run([&] {
                    const bool done =
                        map_physical_memory(builder, firmware_map) &&
                        map_processor_pages(builder, processor) &&
                        map_kernel_image(builder, kernel) &&
                        (!processor.five_level_paging || (root = add_five_level_root(builder)));
                    return std::string(done ? "mapped" : "failed");
                }),
                mapped ? "mapped" : "check integer overflow");
    if (!mapped) {
        return 0;
    }
    uint64_t walked = 0; // table pages, the root included
    const oracle_note stop_at_failure = [](void*, const char* check, const char* what, uint64_t,
                                           uint64_t) { require(what == nullptr, check); };
    const auto count_table = [](void* count, uint64_t) { ++*static_cast<uint64_t*>(count); };
    oracle_tables_check(root, processor.five_level_paging ? 5 : 4, 0, stop_at_failure, &walked,
                        count_table);
    const std::vector<std::string>& calls = run.firmware.calls; // the root first
    const uint64_t taken = std::count(calls.begin(), calls.end(), "AllocatePages") - 1;
    // `taken` leaves out the four-level root, `walked - 1` the root the walk
    // starts at; under five levels that is the fifth-level one, taken too.
    const uint64_t roots = processor.five_level_paging ? kFiveLevelTablePages : 0;
    require(taken == walked - 1 + (roots != 0), "table pages taken");
    const quillmor_handoff no_framebuffer = {};
    const uint64_t estimate = estimate_table_pages(firmware_map, kernel, no_framebuffer, processor);
    require(estimate >= taken && (!streams.in_order || estimate == streams.slots + roots),
            "the estimate below the tables built, or not exact in address order");
    return 0;
}
