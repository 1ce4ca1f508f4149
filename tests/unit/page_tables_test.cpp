#include "boot/handoff_record.h"
#include "mm/page_table_builder.h"
#include "mm/processor_view.h"
#include "tests/unit/host_page_tables.h"
#include "tests/unit/loader_test.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace paging;

constexpr uint64_t kPage = 4096;
constexpr uint64_t k2MiB = 1ull << 21;
constexpr uint64_t k1GiB = 1ull << 30;
constexpr uint64_t k512GiB = 1ull << 39;
constexpr uint64_t kDirect = 0xffff800000000000ull;
constexpr uint64_t kKernel = 0xffffffff80000000ull;

// Walks every table under `table`: each present upper entry is a table
// address with exactly the flags 0x3, each leaf is a page address | 0x3.
// Returns the number of leaves.
uint64_t count_leaves(uint64_t table, int level = 4) {
    uint64_t leaves = 0;
    for (uint64_t i = 0; i < kEntriesPerTable; ++i) {
        const uint64_t entry = host_table(table)[i];
        if (entry == 0) {
            continue;
        }
        if (level == 1) {
            EXPECT_EQ(entry & 0xfff, 0x3u) << "leaf " << i;
            ++leaves;
            continue;
        }
        EXPECT_EQ(entry & ~kAddressMask, 0x3u) << "level " << level << " entry " << i;
        leaves += count_leaves(entry, level - 1);
    }
    return leaves;
}

// A root of its own over host pages; `budget` pages can be had after it.
struct Tables {
    explicit Tables(int64_t budget = -1, bool exhausted = false, uint64_t capacity = 64)
        : pages(capacity) {
        pages.fail_after = budget;
        builder.out_of_pages = exhausted;
    }
    HostPageArena pages;
    PageTableBuilder builder{pages.fresh_root(), pages.source(), false};
    uint64_t leaf(uint64_t virtual_address) const {
        return leaf_entry(builder.root, virtual_address);
    }
    uint64_t& root_entry(uint64_t index) {
        return reinterpret_cast<uint64_t*>(builder.root)[index];
    }
};

class PageTablesTest : public LoaderTest {};

TEST_F(PageTablesTest, MapsExactlyThePagesTheVirtualRangeTouches) {
    const struct {
        const char* what;
        uint64_t virtual_start, physical_start, length, first_page, pages, first_frame, tables;
    } cases[] = {
        {"length 0", 0x200000, 0x200000, 0, 0, 0, 0, 0},
        {"length 0, unaligned start", 0x200123, 0x200123, 0, 0, 0, 0, 0},
        {"one byte mid-page", 0x5800, 0x9a7c3, 1, 0x5000, 1, 0x9a000, 3},
        {"two bytes across a page boundary", 0x5fff, 0x10fff, 2, 0x5000, 2, 0x10000, 3},
        {"across 2 MiB", k2MiB - kPage, 0x1000, 2 * kPage, k2MiB - kPage, 2, 0x1000, 4},
        {"across 1 GiB", k1GiB - kPage, 0x1000, 2 * kPage, k1GiB - kPage, 2, 0x1000, 5},
        {"across 512 GiB", k512GiB - kPage, 0x1000, 2 * kPage, k512GiB - kPage, 2, 0x1000, 6},
        {"kernel link range", kKernel + 0x10, 0x200800, 0x3000, kKernel, 4, 0x200000, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Tables t;
        EXPECT_TRUE(map_range(t.builder, c.virtual_start, c.physical_start, c.length));
        EXPECT_EQ(t.pages.handed_out(), c.tables);
        EXPECT_EQ(count_leaves(t.builder.root), c.pages);
        for (uint64_t i = 0; i < c.pages; ++i) {
            EXPECT_EQ(t.leaf(c.first_page + i * kPage), (c.first_frame + i * kPage) | 0x3);
        }
    }
}

TEST_F(PageTablesTest, LaterRangesReuseTablesAndOverwriteLeaves) {
    const struct {
        uint64_t virtual_start, new_tables;
    } steps[] = {
        {k2MiB - kPage, 4},       // PDPT, PD, two PTs
        {k2MiB - kPage, 0},       // the same pages again, to other frames
        {k2MiB + 5 * kPage, 0},   // same PT
        {2 * k2MiB, 1},           // next PT
        {k1GiB, 2},               // PD and PT
        {k512GiB + k1GiB, 3},     // PDPT, PD and PT
        {kDirect, 3},             // the direct-map half
        {kDirect + 7 * kPage, 0}, // reused
        {kKernel, 3},
    };
    Tables t;
    uint64_t frame = 0x100000;
    for (const auto& step : steps) {
        const uint64_t before = t.pages.handed_out();
        frame += 0x10000;
        ASSERT_TRUE(map_range(t.builder, step.virtual_start, frame, 2 * kPage));
        EXPECT_EQ(t.pages.handed_out() - before, step.new_tables) << step.virtual_start;
        EXPECT_EQ(t.leaf(step.virtual_start + kPage), (frame + kPage) | 0x3);
    }
    EXPECT_EQ(count_leaves(t.builder.root), 2u * std::size(steps) - 2);
}

TEST_F(PageTablesTest, LargePageOnTheWalkFailsWithoutClaimingExhaustion) {
    for (int level = 2; level <= 4; ++level) {
        for (const bool exhausted : {false, true}) {
            SCOPED_TRACE("level " + std::to_string(level));
            Tables t(-1, exhausted);
            ASSERT_TRUE(map_range(t.builder, k512GiB, 0x5000, kPage));
            // The entry of `level` on the path to 512 GiB becomes a large page.
            uint64_t* entry = &t.root_entry(1);
            for (int l = 4; l > level; --l) {
                entry = reinterpret_cast<uint64_t*>(*entry & kAddressMask);
            }
            *entry |= kLargePage;
            const uint64_t tables = t.pages.handed_out();
            // The page below the boundary lies under other tables and is mapped first.
            EXPECT_FALSE(map_range(t.builder, k512GiB - kPage, 0x9000, 2 * kPage));
            EXPECT_EQ(t.builder.out_of_pages, exhausted);
            EXPECT_EQ(t.leaf(k512GiB - kPage), 0x9003u);
            EXPECT_EQ(t.pages.handed_out() - tables, 3u);
        }
    }
}

TEST_F(PageTablesTest, RunningDryKeepsWhatWasWritten) {
    // Across 2 MiB: PDPT, PD and PT for the first page, a second PT after.
    for (int64_t budget = 0; budget <= 3; ++budget) {
        SCOPED_TRACE("pages available: " + std::to_string(budget));
        Tables t(budget);
        EXPECT_FALSE(map_range(t.builder, k2MiB - kPage, 0x4000, 2 * kPage));
        EXPECT_TRUE(t.builder.out_of_pages);
        EXPECT_EQ(t.pages.handed_out(), static_cast<uint64_t>(budget));
        EXPECT_EQ((t.root_entry(0) & kPresent) != 0, budget >= 1);
        EXPECT_EQ(count_leaves(t.builder.root), budget == 3 ? 1u : 0u);
    }
    Tables no_root;
    no_root.builder.root = 0;
    EXPECT_FALSE(map_range(no_root.builder, 0x1000, 0x1000, kPage));
    EXPECT_EQ(no_root.pages.handed_out(), 0u);
}

TEST_F(PageTablesTest, BrokenEndsAndEntriesAreCheckFailures) {
    const struct {
        const char* what;
        uint64_t virtual_start, physical_start, length, leaves;
    } cases[] = {
        {"range end past 2^64", 0xfffffffffffff000, 0x1000, kPage, 0},
        {"rounded end past 2^64", 0xfffffffffffff000, 0x1000, 1, 0},
        {"physical cursor past 2^64", 0x1000, 0xffffffffffffe000, 3 * kPage, 2},
        // A table that would have been written whole is cleared: its last
        // entry stays empty.
        {"physical cursor past 2^64 in a whole table", k2MiB, 0ull - 511 * kPage, k2MiB, 511},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Tables t;
        expect_check_failure(
            [&] { map_range(t.builder, c.virtual_start, c.physical_start, c.length); },
            "integer overflow");
        EXPECT_EQ(count_leaves(t.builder.root), c.leaves);
        for (uint64_t i = 0; i < c.leaves; ++i) {
            EXPECT_EQ(t.leaf(c.virtual_start + i * kPage), (c.physical_start + i * kPage) | 0x3);
        }
    }
    Tables t;
    t.root_entry(0) = 0x3; // present, but no table address
    expect_check_failure([&] { map_range(t.builder, 0x1000, 0x1000, kPage); },
                         "cast causes pointer to be null");
}

TEST_F(PageTablesTest, OnlyRamLikeRuntimeAndUnacceptedFirmwareTypesAreMapped) {
    for (const uint32_t type : {0u,  1u,  2u,  3u,  4u,  5u,  6u,  7u,  8u,  9u,
                                10u, 11u, 12u, 13u, 14u, 15u, 16u, 63u, 64u, 0x80000000u}) {
        SCOPED_TRACE("type " + std::to_string(type));
        const bool mapped =
            (type >= 1 && type <= 7) || type == 9 || type == 10 || type == 14 || type == 15;
        Tables t;
        EXPECT_TRUE(map_physical_memory(t.builder, HostMemoryMap({{type, 0x200000, 2}}).map()));
        EXPECT_EQ(count_leaves(t.builder.root), mapped ? 4u : 0u);
        EXPECT_EQ(t.pages.handed_out(), mapped ? 6u : 0u);
        EXPECT_EQ(t.leaf(0x201000), mapped ? 0x201003u : 0u);
        EXPECT_EQ(t.leaf(kDirect + 0x200000), mapped ? 0x200003u : 0u);
    }
}

TEST_F(PageTablesTest, DescriptorsAreMappedInOrderIdentityFirst) {
    // A 56-byte stride with filler between descriptors; the empty one first.
    const HostMemoryMap map({{7, 0x1000, 0}, {7, 0x100000, 1}, {2, 0x40000000, 1}}, 56);
    const std::string identity_a =
        "[quillmor] 恒等映射失败 base=0x100000 len=0x1000 类型=7 表耗尽=1\r\n";
    const std::string direct_a = "[quillmor] HHDM 映射失败 base=0x100000 len=0x1000\r\n";
    const std::string identity_b =
        "[quillmor] 恒等映射失败 base=0x40000000 len=0x1000 类型=2 表耗尽=1\r\n";
    const std::string direct_b = "[quillmor] HHDM 映射失败 base=0x40000000 len=0x1000\r\n";
    // Identity of A takes 3 tables, its direct map 3, identity of B 2, its direct map 2.
    const std::string expected[] = {identity_a, identity_a, identity_a, direct_a,
                                    direct_a,   direct_a,   identity_b, identity_b,
                                    direct_b,   direct_b,   ""};
    for (int64_t budget = 0; budget <= 10; ++budget) {
        SCOPED_TRACE("pages available: " + std::to_string(budget));
        fake_arch::reset();
        Tables t(budget);
        EXPECT_EQ(map_physical_memory(t.builder, map.map()), budget == 10);
        EXPECT_EQ(serial(), expected[budget]);
    }
    // A large page in the way is not exhaustion.
    fake_arch::reset();
    Tables t;
    t.root_entry(0) = 0x83;
    EXPECT_FALSE(map_physical_memory(t.builder, map.map()));
    EXPECT_EQ(serial(), "[quillmor] 恒等映射失败 base=0x100000 len=0x1000 类型=7 表耗尽=0\r\n");
}

TEST_F(PageTablesTest, DescriptorLengthOrDirectMapBeyondRangeIsAnOverflow) {
    // A page count of 2^52 has no byte length, whatever its type.
    Tables t;
    const HostMemoryMap huge({{5, 0x100000, 1ull << 52}});
    expect_check_failure([&] { map_physical_memory(t.builder, huge.map()); }, "integer overflow");
    // 2^47 has no direct-map address: its identity mapping is made first.
    const HostMemoryMap high({{7, 1ull << 47, 1}});
    expect_check_failure([&] { map_physical_memory(t.builder, high.map()); }, "integer overflow");
    EXPECT_EQ(t.leaf(1ull << 47), (1ull << 47) | 0x3);
    EXPECT_EQ(count_leaves(t.builder.root), 1u);
}

TEST_F(PageTablesTest, FramebufferGoesIntoTheDirectMapOnly) {
    auto record = std::make_unique<quillmor_handoff>(handoff_template());
    record->framebuffer_count = 1;
    record->framebuffer_address = 0x80000000;
    record->framebuffer_height = 768;
    record->framebuffer_pitch = 4096;
    Tables dry(3); // the 3 MiB span two page tables
    EXPECT_FALSE(map_framebuffer(dry.builder, *record));
    EXPECT_EQ(record->framebuffer_address, 0x80000000u);

    Tables t;
    ASSERT_TRUE(map_framebuffer(t.builder, *record));
    EXPECT_EQ(record->framebuffer_address, kDirect + 0x80000000);
    EXPECT_EQ(count_leaves(t.builder.root), 768u);
    EXPECT_EQ(t.leaf(kDirect + 0x80000000), 0x80000003u);
    EXPECT_EQ(t.leaf(kDirect + 0x80000000 + 767 * kPage), (0x80000000 + 767 * kPage) | 0x3);
    EXPECT_EQ(t.leaf(0x80000000), 0u);

    record->framebuffer_address = 1ull << 47;
    expect_check_failure([&] { map_framebuffer(t.builder, *record); }, "integer overflow");
    EXPECT_EQ(record->framebuffer_address, 1ull << 47);
}

TEST_F(PageTablesTest, DescriptorTablesAreMappedOnlyWhereTheyHaveAnIdentityAddress) {
    const struct {
        uint64_t base;
        uint16_t limit;
        uint64_t length;
    } cases[] = {
        {0xfffdd700, 0x37, 0x38},         {0xa0ff8, 0xffff, 0x10000},
        {(1ull << 47) - 0x10, 0xf, 0x10}, // its last byte is the last below 2^47
        {(1ull << 47) - 0x10, 0x10, 0},   {~0ull - 7, 0xf, 0}, // wraps
    };
    for (const auto& c : cases) {
        EXPECT_EQ(descriptor_table_range({c.base, c.limit}).length, c.length) << c.base;
    }
    Tables dry(0); // no page for a fifth-level root
    EXPECT_EQ(add_five_level_root(dry.builder), 0u);
    EXPECT_TRUE(dry.builder.out_of_pages);
}

// Random maps near 2 MiB, 1 GiB and 512 GiB boundaries, overlapping,
// with unaligned starts and every kind of type.
std::vector<HostDescriptor> random_map(std::mt19937_64& rng) {
    const uint64_t boundaries[] = {k2MiB, k1GiB, k512GiB};
    std::vector<HostDescriptor> map;
    const uint64_t count = 5 + rng() % 30;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t pages = rng() % 8 == 0 ? 1 + rng() % 3000 : 1 + rng() % 40;
        uint64_t base;
        if (!map.empty() && rng() % 5 == 0) {
            base = map[rng() % map.size()].base + (rng() % 64) * kPage; // overlap
        } else {
            const uint64_t boundary = boundaries[rng() % 3];
            const uint64_t anchor = (1 + rng() % 200) * boundary;
            base = anchor - (rng() % (std::min(pages, anchor / kPage) + 1)) * kPage;
        }
        if (rng() % 4 == 0) {
            base += rng() % kPage;
        }
        map.push_back({static_cast<uint32_t>(rng() % 17), base, pages});
    }
    return map;
}

TEST(PageTableEquivalence, FastBuilderBuildsTheTablesOfThePerPageWalk) {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<HostDescriptor> descriptors = random_map(rng);
        const HostMemoryMap map(descriptors);
        // Every third round runs dry somewhere along the way.
        const int64_t budget = round % 3 == 2 ? static_cast<int64_t>(rng() % 200) : -1;
        Tables fast_tables(budget, false, 1024);
        Tables slow_tables(budget, false, 1024);
        PageTableBuilder& fast = fast_tables.builder;
        PageTableBuilder& slow = slow_tables.builder;
        const bool fast_ok = map_physical_memory(fast, map.map());
        ASSERT_EQ(fast_ok, reference_map_memory(slow, descriptors));
        if (fast_ok) {
            // A kernel range inside the direct map, over pages already mapped.
            const uint64_t kernel = kDirect + descriptors[0].base + rng() % 0x10000;
            const uint64_t frame = rng() % (1ull << 40);
            const uint64_t length = 1 + rng() % 0x300000;
            ASSERT_EQ(map_range(fast, kernel, frame, length),
                      reference_map_range(slow, kernel, frame, length));
        }
        EXPECT_EQ(fast.out_of_pages, slow.out_of_pages);
        EXPECT_EQ(fast_tables.pages.handed_out(), slow_tables.pages.handed_out());
        std::string where;
        EXPECT_TRUE(same_tree(fast.root, slow.root, 4, 0, where)) << where;
    }
}

TEST(PageTableEquivalence, WholeAndPartialLevel1TablesAtEveryBoundary) {
    // Ranges reaching 2 MiB or 1 GiB to either side of a boundary, each end on
    // a 2 MiB boundary or one page before or after it: partial tables at the
    // ends, whole ones between, and long ranges that take the streaming path.
    for (const uint64_t boundary : {1001 * k2MiB, 3 * k1GiB, k512GiB}) {
        for (const uint64_t reach : {k2MiB, k1GiB}) {
            for (const int64_t start_shift : {-1, 0, 1}) {
                for (const int64_t end_shift : {-1, 0, 1}) {
                    const uint64_t start = boundary - reach + start_shift * kPage;
                    const uint64_t length = 2 * reach + (end_shift - start_shift) * kPage;
                    SCOPED_TRACE(std::to_string(start) + " + " + std::to_string(length));
                    Tables fast(-1, false, 1100);
                    Tables slow(-1, false, 1100);
                    ASSERT_TRUE(map_range(fast.builder, start, 0x7654321abc, length));
                    ASSERT_TRUE(reference_map_range(slow.builder, start, 0x7654321abc, length));
                    EXPECT_EQ(fast.pages.handed_out(), slow.pages.handed_out());
                    std::string where;
                    EXPECT_TRUE(same_tree(fast.builder.root, slow.builder.root, 4, 0, where))
                        << where;
                }
            }
        }
    }
}

} // namespace
