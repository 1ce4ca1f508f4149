// Random firmware maps (any types, overlaps, zero lengths, thousands of
// descriptors, strides from 40 to 96 bytes), carve intervals and page-ledger
// ranges through the region table, against the table the handover oracle
// works out from the map. The 512-entry limit counts merged entries, as the
// loader does. The ledger is held to a model of it: whole pages, a merge only
// into the last entry and only where that ends (also when full), else a
// refusal when full; the oracle is given the model's ranges.
#include "firmware/page_ledger.h"
#include "mm/region_table.h"
#include "tests/fuzz/fuzz_support.h"

using u128 = unsigned __int128;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint64_t stride = 40 + 8 * (in.take<uint8_t>() & 7);
    std::vector<oracle_descriptor> map;
    std::vector<oracle_range> carves, own;
    page_ledger().clear();
    carve_table().clear();
    // Kind 1: a carve interval; 2: a ledger range (those ending past 2^64
    // left out); else a descriptor, whose length counts pages when kind has
    // 0x40, else bytes.
    in.items(10000, [&](uint8_t kind, uint8_t type, uint64_t base, uint64_t length) {
        const u128 end = (base + u128{length} + 4095) & ~u128{0xfff};
        const uint64_t start = base & ~0xfffull, pages = static_cast<uint64_t>(end - start);
        if ((kind & 3) == 1) {
            const bool room = carves.size() < CarveTable::kCapacity;
            require(add_carve_interval(base, length, RegionType(type & 7)) == room, "carve limit");
            if (room) {
                carves.push_back({base, length, type & 7u});
            }
        } else if ((kind & 3) == 2 && end <= ~0ull) {
            const bool merges = !own.empty() && own.back().base + own.back().length == start;
            const bool room = merges || own.size() < PageLedger::kCapacity;
            require(page_ledger().add(base, length) == room, "ledger room");
            if (merges) {
                own.back().length += pages;
            } else if (room) {
                own.push_back({start, pages, 0});
            }
        } else if ((kind & 3) != 2) {
            map.push_back({type, base, kind & 0x40 ? length : length >> 12, 0});
        }
    });
    if (map.size() * (carves.size() + 1) > (1u << 20)) {
        return 0; // each descriptor meets each carve interval: keep inputs fast
    }
    static quillmor_region table[QUILLMOR_MAX_REGIONS];
    uint32_t count = 0;
    const auto n = [](const auto& items) { return static_cast<uint32_t>(items.size()); };
    const oracle_regions expected = oracle_expected_regions(
        map.data(), n(map), carves.data(), n(carves), own.data(), n(own), table, &count);
    quillmor_handoff record = {};
    LoaderRun run;
    const MemoryMap firmware_map = run.reading(map, stride);
    expect_same(run([&] {
                    const RegionTableOutcome outcome = build_region_table(record, firmware_map);
                    return outcome == RegionTableOutcome::TableFull       ? "full"
                           : outcome == RegionTableOutcome::OwnPageUsable ? "own pages usable"
                                                                          : "complete";
                }),
                expected == ORACLE_REGIONS_FULL              ? "full"
                : expected == ORACLE_REGIONS_OVERFLOW        ? "check integer overflow"
                : expected == ORACLE_REGIONS_OWN_PAGE_USABLE ? "own pages usable"
                                                             : "complete");
    const bool built =
        expected == ORACLE_REGIONS_COMPLETE || expected == ORACLE_REGIONS_OWN_PAGE_USABLE;
    require(!built || (record.region_count == count &&
                       std::memcmp(record.regions, table, count * sizeof(quillmor_region)) == 0),
            "the region table");
    return 0;
}
