#include "boot/handoff_record.h"
#include "boot/region_stage.h"
#include "mm/region_table.h"
#include "tests/unit/host_page_tables.h"
#include "tests/unit/loader_test.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kMiB = 1ull << 20;

struct Entry {
    uint64_t base, length;
    uint32_t type;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{0x" << std::hex << e.base << ", 0x" << e.length << ", " << std::dec << e.type
               << "}";
}

struct Carve {
    uint64_t base, length;
};

class RegionTableTest : public LoaderTest {
  protected:
    std::unique_ptr<quillmor_handoff> record =
        std::make_unique<quillmor_handoff>(handoff_template());

    std::vector<Entry> entries() const {
        std::vector<Entry> out;
        for (uint32_t i = 0; i < record->region_count; ++i) {
            const quillmor_region& r = record->regions[i];
            EXPECT_EQ(r.zero, 0u);
            out.push_back({r.base, r.length, r.type});
        }
        return out;
    }

    // Every entry past the count still holds the template's values.
    void expect_template_tail() const {
        for (uint32_t i = record->region_count; i < QUILLMOR_MAX_REGIONS; ++i) {
            const quillmor_region& r = record->regions[i];
            ASSERT_TRUE(r.base == 0 && r.length == 0 && r.type == Reserved && r.zero == 0) << i;
        }
    }
};

TEST(RegionTypeFor, TranslatesEveryFirmwareType) {
    const RegionType expected[] = {Reserved, Reserved, Reserved, BootReclaimable, BootReclaimable,
                                   Reserved, Reserved, Usable,   BadMemory,       AcpiReclaimable,
                                   AcpiNvs,  Mmio,     Mmio,     Reserved,        Reserved,
                                   Reserved, Reserved};
    for (uint32_t type = 0; type < std::size(expected); ++type) {
        EXPECT_EQ(region_type_for(type), expected[type]) << "firmware type " << type;
    }
    EXPECT_EQ(region_type_for(0x80000000u), Reserved);
    EXPECT_EQ(region_type_for(0xffffffffu), Reserved);
}

TEST_F(RegionTableTest, RangesAreSplitAroundTheCarveIntervals) {
    constexpr uint32_t U = Usable, K = KernelAndModules;
    const struct { // in MiB; the range is Usable
        const char* what;
        std::vector<Carve> carves;
        uint64_t base, length;
        std::vector<Entry> expected;
    } cases[] = {
        {"nothing carved", {}, 1, 8, {{1, 8, U}}},
        {"landing area inside", {{2, 2}}, 1, 8, {{1, 1, U}, {2, 2, K}, {4, 5, U}}},
        {"starts at the base", {{1, 2}}, 1, 8, {{1, 2, K}, {3, 6, U}}},
        {"ends at the end", {{7, 2}}, 1, 8, {{1, 6, U}, {7, 2, K}}},
        {"clipped on both sides", {{0, 2}, {8, 4}}, 1, 8, {{1, 1, K}, {2, 6, U}, {8, 1, K}}},
        {"touching from outside", {{0, 1}, {9, 1}}, 1, 8, {{1, 8, U}}},
        {"table order is not address order",
         {{6, 1}, {2, 2}},
         1,
         8,
         {{1, 1, U}, {2, 2, K}, {4, 2, U}, {6, 1, K}, {7, 2, U}}},
        {"side by side", {{2, 2}, {4, 1}}, 1, 8, {{1, 1, U}, {2, 3, K}, {5, 4, U}}},
        {"length 0", {{2, 1}}, 2, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clear_regions(*record);
        carve_table().clear();
        for (const Carve& interval : c.carves) {
            add_carve_interval(interval.base * kMiB, interval.length * kMiB, KernelAndModules);
        }
        EXPECT_TRUE(add_region(*record, c.base * kMiB, c.length * kMiB, Usable));
        std::vector<Entry> expected = c.expected;
        for (Entry& e : expected) {
            e = {e.base * kMiB, e.length * kMiB, e.type};
        }
        EXPECT_EQ(entries(), expected);
        expect_template_tail();
    }
}

TEST_F(RegionTableTest, RamdiskBoundaryMayFallInsideAPage) {
    add_carve_interval(0x5000, 1000, KernelAndModules);
    EXPECT_TRUE(add_region(*record, 0x5000, 4 * kPage, Reserved));
    EXPECT_EQ(entries(), (std::vector<Entry>{{0x5000, 1000, KernelAndModules},
                                             {0x5000 + 1000, 4 * kPage - 1000, Reserved}}));
}

TEST_F(RegionTableTest, OnlyTableNeighboursThatTouchMerge) {
    const HostMemoryMap map({
        {EfiBootServicesCode, 0x100000, 0x10},
        {EfiConventionalMemory, 0x110000, 0}, // empty: adds nothing
        {EfiBootServicesData, 0x110000, 0x20},
        {EfiBootServicesData, 0x140000, 0x10}, // gap before it
        {EfiConventionalMemory, 0x200000, 0x10},
        {EfiBootServicesCode, 0x130000, 0x10}, // touches the one above, not its neighbour
        {EfiLoaderData, 0x300000, 1},
        {EfiRuntimeServicesData, 0x301000, 1}, // Reserved as well
    });
    EXPECT_EQ(build_region_table(*record, map.map()), RegionTableOutcome::Complete);
    const std::vector<Entry> expected = {{0x100000, 0x30000, BootReclaimable},
                                         {0x140000, 0x10000, BootReclaimable},
                                         {0x200000, 0x10000, Usable},
                                         {0x130000, 0x10000, BootReclaimable},
                                         {0x300000, 0x2000, Reserved}};
    EXPECT_EQ(entries(), expected);
    expect_template_tail();
}

// Firmware maps as servers report them: runs of boot-services code and data
// side by side, between conventional and runtime ranges.
std::vector<HostDescriptor> server_style_map(uint64_t count, bool mergeable) {
    std::vector<HostDescriptor> map;
    uint64_t cursor = 0x100000;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t type = i % 2 == 0 ? EfiBootServicesCode : EfiBootServicesData;
        if (i % 10 == 9) {
            type = i % 20 == 9 ? EfiConventionalMemory : EfiRuntimeServicesData;
        }
        if (!mergeable) {
            type = i % 2 == 0 ? EfiConventionalMemory : EfiACPIReclaimMemory;
        }
        map.push_back({type, cursor, 1 + i % 7});
        cursor += (1 + i % 7) * kPage;
    }
    return map;
}

TEST_F(RegionTableTest, TableLimitCountsMergedEntries) {
    const HostMemoryMap large(server_style_map(1500, true));
    EXPECT_EQ(build_region_table(*record, large.map()), RegionTableOutcome::Complete);
    EXPECT_EQ(record->region_count, 300u); // runs of nine, then one of another type
    expect_template_tail();

    for (const uint64_t count : {512, 513}) {
        SCOPED_TRACE(count);
        clear_regions(*record);
        const HostMemoryMap flat(server_style_map(count, false));
        EXPECT_EQ(build_region_table(*record, flat.map()),
                  count == 512 ? RegionTableOutcome::Complete : RegionTableOutcome::TableFull);
        EXPECT_EQ(record->region_count, 512u);
    }

    clear_regions(*record);
    const HostMemoryMap unmergeable(server_style_map(1500, false));
    expect_halt([&] { build_regions_or_stop(*record, unmergeable.map()); });
    EXPECT_EQ(serial(), "[quillmor] 装载失败：内存区表满\r\n");
    clear_regions(*record);
    EXPECT_EQ(record->region_count, 0u);
    expect_template_tail();
}

// The table built the long way: every entry of every range emitted without
// a limit, then one merge pass over the whole table.
std::vector<Entry> emit_all_then_merge(const std::vector<HostDescriptor>& map,
                                       const std::vector<Carve>& carves) {
    std::vector<Entry> emitted;
    for (const HostDescriptor& d : map) {
        const uint64_t base = d.base;
        const uint64_t end = base + d.pages * kPage;
        const uint32_t type = region_type_for(d.type);
        std::vector<Entry> pieces; // ordered by start, ties in carve order
        for (const Carve& c : carves) {
            const uint64_t start = std::max(c.base, base);
            const uint64_t stop = std::min(c.base + c.length, end);
            if (start < stop) {
                auto at = std::upper_bound(pieces.begin(), pieces.end(), start,
                                           [](uint64_t s, const Entry& p) { return s < p.base; });
                pieces.insert(at, {start, stop - start, KernelAndModules});
            }
        }
        uint64_t cursor = base;
        for (const Entry& p : pieces) {
            if (p.base > cursor) {
                emitted.push_back({cursor, p.base - cursor, type});
            }
            emitted.push_back(p);
            cursor = p.base + p.length;
        }
        if (end > cursor) {
            emitted.push_back({cursor, end - cursor, type});
        }
    }
    std::vector<Entry> merged;
    for (const Entry& e : emitted) {
        if (!merged.empty() && merged.back().type == e.type &&
            merged.back().base + merged.back().length == e.base) {
            merged.back().length += e.length;
        } else {
            merged.push_back(e);
        }
    }
    return merged;
}

TEST_F(RegionTableTest, MergingAsEmittedGivesTheTableOfMergingAfterwards) {
    std::mt19937_64 rng(5150);
    int filled = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<Carve> carves; // disjoint, byte-granular, in random table order
        for (uint64_t at = rng() % (2 * kMiB); at < 48 * kMiB && carves.size() < 40;) {
            carves.push_back({at, 1 + rng() % (kMiB / 2)});
            at += carves.back().length + rng() % (4 * kMiB);
        }
        std::shuffle(carves.begin(), carves.end(), rng);
        std::vector<HostDescriptor> map;
        const uint64_t count = 1 + rng() % (round % 4 == 0 ? 1200 : 300);
        uint64_t cursor = rng() % 64 * kPage;
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t types[] = {3, 4, 7, 7, 0, 2, 9, 5, 11, 14, 8};
            const uint64_t pages = rng() % 6 == 0 ? 0 : 1 + rng() % 64;
            map.push_back({types[rng() % std::size(types)], cursor, pages});
            cursor = rng() % 8 == 0 ? rng() % (48 * kMiB / kPage) * kPage : cursor + pages * kPage;
            cursor += rng() % 3 == 0 ? kPage : 0;
        }
        carve_table().clear();
        for (const Carve& c : carves) {
            add_carve_interval(c.base, c.length, KernelAndModules);
        }
        clear_regions(*record);
        const std::vector<Entry> expected = emit_all_then_merge(map, carves);
        const HostMemoryMap host(map);
        const RegionTableOutcome outcome = build_region_table(*record, host.map());
        if (expected.size() <= QUILLMOR_MAX_REGIONS) {
            ASSERT_EQ(outcome, RegionTableOutcome::Complete);
            ASSERT_EQ(entries(), expected);
            expect_template_tail();
        } else {
            ++filled;
            ASSERT_EQ(outcome, RegionTableOutcome::TableFull);
            ASSERT_EQ(entries(), std::vector<Entry>(expected.begin(), expected.begin() + 512));
        }
    }
    EXPECT_GT(filled, 5); // both outcomes were exercised
}

TEST_F(RegionTableTest, PiecesBeyondTheScratchSpaceFillTheTable) {
    // 4096 one-byte intervals side by side cover one page; one more overlaps a
    // second page of the range.
    for (const uint64_t intervals : {4096, 4097}) {
        SCOPED_TRACE(intervals);
        carve_table().clear();
        for (uint64_t i = 0; i < intervals; ++i) {
            ASSERT_TRUE(add_carve_interval(0x10000 + i, 1, KernelAndModules));
        }
        clear_regions(*record);
        EXPECT_EQ(add_region(*record, 0x10000, 2 * kPage, Usable), intervals == 4096);
        if (intervals == 4096) {
            const std::vector<Entry> expected = {{0x10000, kPage, KernelAndModules},
                                                 {0x11000, kPage, Usable}};
            EXPECT_EQ(entries(), expected);
        }
    }
}

TEST_F(RegionTableTest, OwnPagesMustStayOutOfUsableRegions) {
    record->regions[0] = {0x100000, 0x100000, Usable, 0};
    record->regions[1] = {0x200000, 0x100000, Reserved, 0};
    record->regions[2] = {0x300000, 0x100000, KernelAndModules, 0};
    record->regions[3] = {0x500000, 0x800, Usable, 0};
    record->region_count = 4;
    const struct {
        const char* what;
        std::vector<Carve> ledger;
        bool passes;
    } cases[] = {
        {"empty ledger", {}, true},
        {"ends where the usable region begins", {{0xff000, kPage}}, true},
        {"begins where the usable region ends", {{0x200000, kPage}}, true},
        {"last page of a usable region", {{0x1ff000, kPage}}, false},
        {"around everything", {{0, 0x1000000}}, false},
        {"inside reserved and kernel regions", {{0x200000, 0x200000}}, true},
        {"only a later range overlaps",
         {{0x0, kPage}, {0x300000, kPage}, {0x500000, kPage}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        page_ledger().clear();
        for (const Carve& range : c.ledger) {
            ASSERT_TRUE(ledger_add(range.base, range.length));
        }
        EXPECT_EQ(check_own_pages(*record), c.passes);
    }
}

TEST_F(RegionTableTest, CarveTableHoldsEightThousandTwoHundredAndEightIntervals) {
    for (uint64_t i = 0; i < CarveTable::kCapacity; ++i) {
        ASSERT_TRUE(add_carve_interval(i * kPage, kPage, KernelAndModules));
    }
    EXPECT_FALSE(add_carve_interval(0x10000000, kPage, KernelAndModules));
    EXPECT_EQ(carve_table().count(), 8208u);
    EXPECT_EQ(carve_table().base(8207), 8207 * kPage);
}

TEST_F(RegionTableTest, LengthsBeyondSixtyFourBitsAreOverflows) {
    expect_check_failure([&] { add_region(*record, ~0ull - kPage, 2 * kPage, Usable); },
                         "integer overflow");
    const HostMemoryMap huge({{EfiConventionalMemory, 0, 1ull << 52}});
    expect_check_failure([&] { build_region_table(*record, huge.map()); }, "integer overflow");
}

} // namespace
