// Random firmware maps (any types, overlaps, zero lengths, thousands of
// descriptors, any stride from 40 bytes), carve intervals and page ledgers
// through the region table, against the table the handover oracle works out
// from the map. The 512-entry limit counts merged entries, as the loader does.
#include "firmware/page_ledger.h"
#include "mm/region_table.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/oracle/oracle.h"

#include <vector>

namespace {

struct Entry {
    uint64_t base, length;
    uint32_t type;
};

std::string describe(const std::vector<Entry>& table, bool own_pages_usable) {
    std::string out = own_pages_usable ? "own" : "complete";
    for (const Entry& e : table) {
        out += " " + dec(e.base) + "+" + dec(e.length) + ":" + dec(e.type);
    }
    return out;
}

// The oracle's table for the descriptors before the first the loader cannot
// read at this stride, else its check failure there.
std::string expected_table(const std::vector<HostDescriptor>& map, uint64_t stride,
                           const std::vector<Entry>& carves) {
    uint64_t readable = 0;
    while (readable < map.size() && readable * stride % 8 == 0) {
        ++readable;
    }
    std::vector<oracle_descriptor> descriptors;
    for (uint64_t i = 0; i < readable; ++i) {
        descriptors.push_back({map[i].type, map[i].base, map[i].pages, 0});
    }
    std::vector<oracle_range> cuts, own;
    for (const Entry& c : carves) {
        cuts.push_back({c.base, c.length, c.type});
    }
    for (uint64_t l = 0; l < page_ledger().count(); ++l) {
        own.push_back({page_ledger()[l].base, page_ledger()[l].length, 0});
    }
    static quillmor_region table[QUILLMOR_MAX_REGIONS];
    uint32_t count = 0;
    const oracle_regions outcome =
        oracle_expected_regions(descriptors.data(), static_cast<uint32_t>(descriptors.size()),
                                cuts.data(), static_cast<uint32_t>(cuts.size()), own.data(),
                                static_cast<uint32_t>(own.size()), table, &count);
    if (outcome == ORACLE_REGIONS_FULL || outcome == ORACLE_REGIONS_OVERFLOW) {
        return outcome == ORACLE_REGIONS_FULL ? "full" : "check integer overflow";
    }
    if (readable < map.size()) {
        return "check incorrect alignment";
    }
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        entries.push_back({table[i].base, table[i].length, table[i].type});
    }
    return describe(entries, outcome == ORACLE_REGIONS_OWN_PAGE_USABLE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint64_t stride = 40 + in.take<uint8_t>();
    std::vector<HostDescriptor> map;
    std::vector<Entry> carves;
    page_ledger().clear();
    carve_table().clear();
    // Kind 1: a carve interval; 2: a ledger range; else a descriptor, whose
    // length counts pages when kind has 0x40, else bytes.
    in.items(10000, [&](uint8_t kind, uint8_t type, uint64_t base, uint64_t length) {
        if ((kind & 3) == 1) {
            const bool room = carves.size() < CarveTable::kCapacity;
            require(add_carve_interval(base, length, RegionType(type & 7)) == room, "carve limit");
            if (room) {
                carves.push_back({base, length, type & 7u});
            }
        } else if ((kind & 3) == 2 && length < (1ull << 62) && base < (1ull << 62)) {
            page_ledger().add(base, length); // ends past 2^64 are the ledger target's
        } else if ((kind & 3) != 2) {
            map.push_back({type, base, kind & 0x40 ? length : length >> 12});
        }
        return true;
    });
    if (map.size() * (carves.size() + 1) > (1u << 20)) {
        return 0; // each descriptor meets each carve interval: keep inputs fast
    }
    static quillmor_handoff record;
    record.region_count = 0;
    LoaderRun run;
    std::vector<uint64_t> buffer;
    const MemoryMap firmware_map = reading(run.firmware, map, stride, buffer);
    expect_same(run([&] {
                    const RegionTableOutcome outcome = build_region_table(record, firmware_map);
                    std::vector<Entry> table;
                    for (uint32_t i = 0; i < record.region_count; ++i) {
                        const quillmor_region& r = record.regions[i];
                        require(r.zero == 0, "entry padding");
                        table.push_back({r.base, r.length, r.type});
                    }
                    return outcome == RegionTableOutcome::TableFull
                               ? "full"
                               : describe(table, outcome == RegionTableOutcome::OwnPageUsable);
                }),
                expected_table(map, stride, carves));
    return 0;
}
