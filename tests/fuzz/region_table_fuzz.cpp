// Random firmware maps (any types, overlaps, zero lengths, thousands of
// descriptors, any stride from 40 bytes), carve intervals and page ledgers
// through the region table, against a straightforward reference: each
// range's pieces sorted by start (ties in carve-table order), the gaps in the
// range's own type, every entry appended in that order and merged with the
// entry before it when both have one type and touch. The 512-entry limit
// counts merged entries, as the loader does. Own pages are checked pair by
// pair.
#include "firmware/page_ledger.h"
#include "mm/region_table.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/host_page_tables.h"

#include <vector>

namespace {

struct Entry {
    uint64_t base, length;
    uint32_t type;
    uint64_t end() const { return base + length; }
};

void append(std::vector<Entry>& table, const Entry& entry) {
    if (!table.empty() && table.back().type == entry.type && table.back().end() == entry.base) {
        table.back().length += entry.length;
    } else {
        table.push_back(entry);
    }
}

std::string describe(const std::vector<Entry>& table, bool own_pages_usable) {
    std::string out = own_pages_usable ? "own" : "complete";
    for (const Entry& e : table) {
        out += " " + dec(e.base) + "+" + dec(e.length) + ":" + dec(e.type);
    }
    return out;
}

std::string expected_table(const std::vector<HostDescriptor>& map, uint64_t stride,
                           const std::vector<Entry>& carves) {
    const uint32_t kRegionType[] = {5, 5, 5, 1, 1, 5, 5, 0, 6, 2, 3, 4, 4}; // above 12: 5
    std::vector<Entry> table;
    for (uint64_t i = 0; i < map.size(); ++i) {
        const HostDescriptor& d = map[i];
        uint64_t end, carve_end;
        if (i * stride % 8 != 0) {
            return "check incorrect alignment";
        }
        if (d.pages >> 52 != 0 ||
            (d.pages != 0 && __builtin_add_overflow(d.base, d.pages << 12, &end))) {
            return "check integer overflow";
        }
        if (d.pages == 0) {
            continue;
        }
        std::vector<Entry> pieces;
        for (const Entry& c : carves) {
            if (__builtin_add_overflow(c.base, c.length, &carve_end)) {
                return "check integer overflow";
            }
            if (carve_end > d.base && c.base < end && pieces.size() == 4096) {
                return "full";
            }
            const uint64_t start = std::max(c.base, d.base), stop = std::min(carve_end, end);
            if (start < stop) {
                pieces.push_back({start, stop - start, c.type});
            }
        }
        std::stable_sort(pieces.begin(), pieces.end(),
                         [](auto& a, auto& b) { return a.base < b.base; });
        const uint32_t type = d.type < 13 ? kRegionType[d.type] : 5;
        uint64_t cursor = d.base;
        pieces.push_back({end, 0, type}); // the tail after the last piece
        for (const Entry& piece : pieces) {
            if (piece.base > cursor) {
                append(table, {cursor, piece.base - cursor, type});
            }
            if (piece.length != 0) {
                append(table, piece);
                cursor = piece.end();
            }
        }
        if (table.size() > QUILLMOR_MAX_REGIONS) {
            return "full";
        }
    }
    for (uint64_t l = 0; l < page_ledger().count(); ++l) {
        const LedgerRange own = page_ledger()[l];
        for (const Entry& r : table) {
            if (r.type == 0 && own.base < r.end() && r.base < own.base + own.length) {
                return describe(table, true);
            }
        }
    }
    return describe(table, false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint64_t stride = 40 + in.take<uint8_t>();
    std::vector<HostDescriptor> map;
    std::vector<Entry> carves;
    page_ledger().clear();
    carve_table().clear();
    // Kind 1: a carve interval; 2: a ledger range; else a descriptor, whose
    // length counts pages when kind has 0x40, else bytes.
    const bool small = in.items(10000, [&](uint8_t kind, uint8_t type, uint64_t base,
                                           uint64_t length) {
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
    if (!small || map.size() * (carves.size() + 1) > (1u << 20)) {
        return 0; // each descriptor meets each carve interval: keep inputs fast
    }
    static quillmor_handoff record;
    record.region_count = 0;
    const HostMemoryMap firmware_map(map, stride);
    LoaderRun run;
    expect_same(run([&] {
                    const RegionTableOutcome outcome =
                        build_region_table(record, firmware_map.map());
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
