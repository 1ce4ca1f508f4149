// Random memory maps, kernel ranges and framebuffers through the page-table
// builder. The leaves every mapping should leave are worked out page by page;
// a software walk of the built tables must find exactly those and nothing
// else, with every upper entry a table address and the flags 0x3. The tables
// must equal the per-page reference builder's, and the table-page estimate
// must cover what the build took.
#include "mm/processor_view.h"
#include "mm/table_page_pool.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/host_page_tables.h"

#include <map>
#include <vector>

namespace {

using Leaves = std::map<uint64_t, uint64_t>; // page number (the 36 indexed bits) -> entry

// The low 1 to 64 bits of a value, perhaps complemented (near 2^64) and
// perhaps page-aligned.
uint64_t address(FuzzInput& in) {
    const uint8_t selector = in.take<uint8_t>();
    const uint64_t value = in.take<uint64_t>() & (~0ull >> (63 - (selector & 63)));
    return (selector & 0x40 ? ~value : value) & (selector & 0x80 ? ~0xfffull : ~0ull);
}

// Adds the leaves of one mapping; false where its arithmetic leaves 64 bits.
bool expect(Leaves& leaves, uint64_t virtual_start, uint64_t physical, uint64_t length,
            bool direct = false) {
    uint64_t end;
    if ((direct && physical >= (1ull << 47)) ||
        __builtin_add_overflow(virtual_start, length, &end) ||
        __builtin_add_overflow(end, 4095, &end)) {
        return false;
    }
    physical &= ~0xfffull;
    for (uint64_t page = virtual_start & ~0xfffull; length != 0 && page < (end & ~0xfffull);
         page += 4096) {
        leaves[page >> 12 & ((1ull << 36) - 1)] = physical | 3;
        if (__builtin_add_overflow(physical, 4096, &physical)) {
            return false;
        }
    }
    return true;
}

void walk(uint64_t table, int level, uint64_t prefix, Leaves& leaves) {
    for (uint64_t i = 0; i < 512; ++i) {
        const uint64_t entry = host_table(table)[i];
        if (entry != 0 && level == 1) {
            leaves[prefix << 9 | i] = entry;
        } else if (entry != 0) {
            require((entry & ~paging::kAddressMask) == 3, "upper entry flags");
            walk(entry, level - 1, prefix << 9 | i, leaves);
        }
    }
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

    // Descriptor by descriptor in map order, identity before direct map.
    Leaves expected;
    std::string outcome = "mapped";
    for (uint64_t i = 0; i < map.size() && outcome == "mapped"; ++i) {
        const HostDescriptor& d = map[i];
        const bool ram = d.pages != 0 && d.type <= 15 && (0xc6fe >> d.type & 1) != 0;
        const uint64_t length = d.pages << 12;
        if (i * stride % 8 != 0) {
            outcome = "check incorrect alignment";
        } else if (d.pages >> 52 != 0 ||
                   (ram && (!expect(expected, d.base, d.base, length) ||
                            !expect(expected, d.base + kDirectMapOffset, d.base, length, true)))) {
            outcome = "check integer overflow";
        }
    }
    if (outcome == "mapped" &&
        (!expect(expected, kernel.virtual_base, kernel.physical_base, kernel.image_size) ||
         (record.framebuffer_count != 0 &&
          !expect(expected, fb + kDirectMapOffset, fb, fb_size, true)))) {
        outcome = "check integer overflow";
    }

    static HostPageArena tables(2048), reference(2048);
    tables.rewind();
    reference.rewind();
    PageTableBuilder builder{tables.fresh_root(), tables.source(), false};
    const HostMemoryMap firmware_map(map, stride);
    const quillmor_handoff original = record;
    LoaderRun run;
    expect_same(run([&] {
                    return map_physical_memory(builder, firmware_map.map()) &&
                                   map_kernel_image(builder, kernel) &&
                                   (record.framebuffer_count == 0 ||
                                    map_framebuffer(builder, record))
                               ? "mapped"
                               : "failed";
                }),
                outcome);
    if (outcome != "mapped") {
        return 0;
    }
    PageTableBuilder slow{reference.fresh_root(), reference.source(), false};
    require(reference_map_memory(slow, map) &&
                reference_map_range(slow, kernel.virtual_base, kernel.physical_base,
                                    kernel.image_size) &&
                (record.framebuffer_count == 0 ||
                 reference_map_range(slow, fb + kDirectMapOffset, fb, fb_size)),
            "the reference ran dry");
    std::string where;
    require(same_tree(builder.root, slow.root, 4, 0, where) &&
                tables.handed_out() == reference.handed_out(),
            ("tables differ from the reference at " + where).c_str());
    Leaves found;
    walk(builder.root, 4, 0, found);
    require(found == expected, "the leaves are not the pages mapped");
    require(estimate_table_pages(firmware_map.map(), kernel, original, ProcessorView{}) >=
                tables.handed_out(),
            "estimate below the tables built");
    require(record.framebuffer_count == 0 || record.framebuffer_address == fb + kDirectMapOffset,
            "framebuffer address");
    return 0;
}
