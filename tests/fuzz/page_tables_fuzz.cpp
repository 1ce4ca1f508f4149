// Random memory maps, descriptor tables, kernel ranges and framebuffers
// through the page-table builder, in the boot's order. The per-page
// reference works out which leaf every virtual page must end up with, or the
// check failure the run must end in. A software walk of the built tables must
// find exactly those leaves, every upper entry a table address with the flags
// 0x3, and no table page that no leaf needs. The table-page estimate must
// cover what the build took, and must be exact (the distinct 2 MiB, 1 GiB and
// 512 GiB slots of each stream of mappings) when every stream comes in
// address order.
#include "mm/processor_view.h"
#include "mm/table_page_pool.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/host_page_tables.h"

#include <map>
#include <set>
#include <vector>

namespace {

// The low 1 to 64 bits of a value, perhaps complemented (near 2^64) and
// perhaps page-aligned.
uint64_t address(FuzzInput& in) {
    const uint8_t selector = in.take<uint8_t>();
    const uint64_t value = in.take<uint64_t>() & (~0ull >> (63 - (selector & 63)));
    return (selector & 0x40 ? ~value : value) & (selector & 0x80 ? ~0xfffull : ~0ull);
}

enum Stream { Identity, DirectMap, Others };

struct Reference {
    std::map<uint64_t, uint64_t> leaves; // page number (the 36 indexed bits) -> entry
    std::set<uint64_t> slots[3];         // per stream: level << 60 | the slot's number
    uint64_t stream_end[3] = {};
    bool in_order = true;

    // The leaves of one mapping; false where its arithmetic leaves 64 bits.
    bool map(Stream stream, uint64_t virtual_start, uint64_t physical, uint64_t length) {
        uint64_t end;
        if (__builtin_add_overflow(virtual_start, length, &end) ||
            __builtin_add_overflow(end, 4095, &end)) {
            return false;
        }
        const uint64_t first = virtual_start & ~0xfffull, last = end & ~0xfffull;
        if (length == 0) {
            return true;
        }
        in_order = in_order && first >= stream_end[stream];
        stream_end[stream] = last;
        physical &= ~0xfffull;
        for (uint64_t page = first; page < last; page += 4096) {
            leaves[page >> 12 & ((1ull << 36) - 1)] = physical | 3;
            for (uint64_t level = 1; level <= 3; ++level) {
                slots[stream].insert(level << 60 | page >> (12 + 9 * level));
            }
            if (__builtin_add_overflow(physical, 4096, &physical)) {
                return false;
            }
        }
        return true;
    }
};

// Every leaf under `table` into `leaves`; returns the number of tables below it.
uint64_t walk(uint64_t table, int level, uint64_t prefix, std::map<uint64_t, uint64_t>& leaves) {
    uint64_t tables = 0;
    for (uint64_t i = 0; i < 512; ++i) {
        const uint64_t entry = host_table(table)[i];
        if (entry != 0 && level == 1) {
            leaves[prefix << 9 | i] = entry;
        } else if (entry != 0) {
            require((entry & ~paging::kAddressMask) == 3, "upper entry flags");
            tables += 1 + walk(entry, level - 1, prefix << 9 | i, leaves);
        }
    }
    return tables;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t stride_selector = in.take<uint8_t>();
    const uint64_t stride =
        stride_selector & 0x80 ? 40 + (stride_selector & 0x7f) : 40 + 8 * (stride_selector & 7);
    std::vector<HostDescriptor> map(in.take<uint8_t>() % 17);
    for (HostDescriptor& d : map) {
        d.type = in.take<uint8_t>();
        d.base = address(in);
        const uint16_t pages = in.take<uint16_t>();
        d.pages = pages == 0xffff ? in.take<uint64_t>() | 1ull << 52 : pages & 1023u;
    }
    LoadPlan kernel{};
    kernel.virtual_base = address(in);
    kernel.physical_base = address(in);
    kernel.image_size = in.take<uint32_t>() & 0xffffff;
    quillmor_handoff record{};
    record.framebuffer_count = in.take<uint8_t>() & 1;
    const uint64_t fb = record.framebuffer_address = address(in);
    record.framebuffer_height = in.take<uint16_t>() & 2047;
    record.framebuffer_pitch = in.take<uint16_t>() & 16383;
    const uint64_t fb_size = uint64_t{record.framebuffer_height} * record.framebuffer_pitch;
    ProcessorView processor = {{}, (in.take<uint8_t>() & 1) != 0};
    for (IdentityRange& table : processor.descriptor_tables) { // a length of 0: none
        const uint64_t base = address(in), length = in.take<uint16_t>();
        const bool below_2_47 = base < (1ull << 47) && (1ull << 47) - base >= length;
        if (length != 0) {
            table = descriptor_table_range({base, uint16_t(length - 1)});
            require(table.length == (below_2_47 ? length : 0), "a descriptor table's range");
        }
    }

    // Descriptor by descriptor in map order, identity before direct map; then
    // the descriptor tables, the kernel, the framebuffer.
    Reference reference;
    std::string outcome = "mapped";
    for (uint64_t i = 0; i < map.size() && outcome == "mapped"; ++i) {
        const HostDescriptor& d = map[i];
        const bool ram = d.pages != 0 && d.type <= 15 && (0xc6fe >> d.type & 1) != 0;
        if (i * stride % 8 != 0) {
            outcome = "check incorrect alignment";
        } else if (d.pages >> 52 != 0 ||
                   (ram && (!reference.map(Identity, d.base, d.base, d.pages << 12) ||
                            d.base >= (1ull << 47) ||
                            !reference.map(DirectMap, d.base + kDirectMapOffset, d.base,
                                           d.pages << 12)))) {
            outcome = "check integer overflow";
        }
    }
    const IdentityRange* tables = processor.descriptor_tables;
    if (outcome == "mapped" &&
        (!reference.map(Others, tables[0].base, tables[0].base, tables[0].length) ||
         !reference.map(Others, tables[1].base, tables[1].base, tables[1].length) ||
         !reference.map(Others, kernel.virtual_base, kernel.physical_base, kernel.image_size) ||
         (record.framebuffer_count != 0 &&
          (fb >= (1ull << 47) || !reference.map(Others, fb + kDirectMapOffset, fb, fb_size))))) {
        outcome = "check integer overflow";
    }

    static HostPageArena pages(2048);
    pages.rewind();
    PageTableBuilder builder{pages.fresh_root(), pages.source(), false};
    const HostMemoryMap firmware_map(map, stride);
    const quillmor_handoff original = record;
    LoaderRun run;
    expect_same(
        run([&] {
            return map_physical_memory(builder, firmware_map.map()) &&
                           map_descriptor_tables(builder, processor) &&
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
    std::map<uint64_t, uint64_t> found;
    const uint64_t walked = walk(builder.root, 4, 0, found);
    require(found == reference.leaves, "the leaves are not the pages mapped");
    std::set<uint64_t> needed; // the tables the leaves need: one per distinct prefix
    for (const auto& leaf : found) {
        needed.insert(
            {leaf.first >> 9, 1ull << 40 | leaf.first >> 18, 2ull << 40 | leaf.first >> 27});
    }
    const uint64_t roots = processor.five_level_paging ? 1 : 0;
    require(walked == needed.size() && pages.handed_out() == walked + roots, "table pages taken");
    const uint64_t estimate = estimate_table_pages(firmware_map.map(), kernel, original, processor);
    require(estimate >= pages.handed_out(), "estimate below the tables built");
    const uint64_t slots =
        reference.slots[0].size() + reference.slots[1].size() + reference.slots[2].size();
    require(!reference.in_order || estimate == slots + roots, "estimate not exact in order");
    require(record.framebuffer_count == 0 || record.framebuffer_address == fb + kDirectMapOffset,
            "framebuffer address");
    return 0;
}
