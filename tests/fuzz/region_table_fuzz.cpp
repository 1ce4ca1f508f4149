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

#include <vector>

namespace {

using u128 = unsigned __int128;

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

std::string expected_table(const std::vector<HostDescriptor>& map, uint64_t stride,
                           const std::vector<Entry>& carves) {
    const uint32_t kRegionType[] = {5, 5, 5, 1, 1, 5, 5, 0, 6, 2, 3, 4, 4}; // above 12: 5
    std::vector<Entry> table;
    const auto append = [&](const Entry& e) {
        if (!table.empty() && table.back().type == e.type &&
            table.back().base + table.back().length == e.base) {
            table.back().length += e.length;
        } else {
            table.push_back(e);
        }
    };
    for (uint64_t i = 0; i < map.size(); ++i) {
        const HostDescriptor& d = map[i];
        const u128 end = d.base + (u128{d.pages} << 12);
        if (i * stride % 8 != 0 || d.pages >> 52 != 0 || (d.pages != 0 && end > ~0ull)) {
            return i * stride % 8 != 0 ? "check incorrect alignment" : "check integer overflow";
        }
        std::vector<Entry> pieces;
        for (const Entry& c : carves) {
            const u128 carve_end = u128{c.base} + c.length;
            if (d.pages != 0 && (carve_end > ~0ull ||
                                 (carve_end > d.base && c.base < end && pieces.size() == 4096))) {
                return carve_end > ~0ull ? "check integer overflow" : "full";
            }
            const uint64_t start = std::max(c.base, d.base);
            const uint64_t stop = static_cast<uint64_t>(std::min(carve_end, end));
            if (start < stop) {
                pieces.push_back({start, stop - start, c.type});
            }
        }
        std::stable_sort(pieces.begin(), pieces.end(),
                         [](const Entry& a, const Entry& b) { return a.base < b.base; });
        const uint32_t type = d.type < 13 ? kRegionType[d.type] : 5;
        uint64_t cursor = d.base;
        pieces.push_back({static_cast<uint64_t>(end), 0, type}); // the tail after the last piece
        for (const Entry& piece : pieces) {
            if (piece.base > cursor) {
                append({cursor, piece.base - cursor, type});
            }
            if (piece.length != 0) {
                append(piece);
                cursor = piece.base + piece.length;
            }
        }
        if (table.size() > QUILLMOR_MAX_REGIONS) {
            return "full";
        }
    }
    bool own = false;
    for (uint64_t l = 0; l < page_ledger().count(); ++l) {
        const LedgerRange range = page_ledger()[l];
        for (const Entry& r : table) {
            own = own || (r.type == 0 && range.base < r.base + r.length &&
                          r.base < range.base + range.length);
        }
    }
    return describe(table, own);
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
