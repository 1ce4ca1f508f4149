#include "boot/handoff_record.h"
#include "mm/table_page_pool.h"
#include "tests/unit/host_page_tables.h"
#include "tests/unit/loader_test.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

struct Layout {
    std::vector<HostDescriptor> map;
    LoadPlan plan;
    std::unique_ptr<quillmor_handoff> record;
    ProcessorView processor = {};
};

// Table pages the builder takes for the loader's mappings of `layout`.
uint64_t pages_taken(const Layout& layout, uint64_t capacity) {
    HostPageArena pages(capacity, false);
    PageTableBuilder builder{pages.fresh_root(), pages.source(), false};
    const HostMemoryMap map(layout.map);
    EXPECT_TRUE(map_physical_memory(builder, map.map()));
    EXPECT_TRUE(map_descriptor_tables(builder, layout.processor));
    EXPECT_TRUE(map_kernel_image(builder, layout.plan));
    if (layout.record->framebuffer_count != 0) {
        EXPECT_TRUE(map_framebuffer(builder, *layout.record));
    }
    if (layout.processor.five_level_paging) {
        EXPECT_NE(add_five_level_root(builder), 0u);
    }
    return pages.handed_out();
}

uint64_t estimate(const Layout& layout) {
    const HostMemoryMap map(layout.map);
    return estimate_table_pages(map.map(), layout.plan, *layout.record, layout.processor);
}

Layout with_kernel_and_framebuffer(std::vector<HostDescriptor> map, std::mt19937_64& rng) {
    Layout layout{std::move(map), {}, std::make_unique<quillmor_handoff>(handoff_template())};
    const uint64_t kernel = 0xffffffff80000000ull + (rng() % 512) * kPage;
    const uint64_t image = (1 + rng() % 1024) * kPage;
    layout.plan = {kernel + 0x40, kernel, kernel + image, 0x3000000, image, 2, {}};
    if (rng() % 4 != 0) {
        layout.record->framebuffer_count = 1;
        layout.record->framebuffer_address = 0x80000000 + (rng() % 0x100) * kPage;
        layout.record->framebuffer_height = 1 + static_cast<uint32_t>(rng() % 1200);
        layout.record->framebuffer_pitch = 4 * (640 + static_cast<uint32_t>(rng() % 1400));
    }
    for (IdentityRange& table : layout.processor.descriptor_tables) {
        table = descriptor_table_range({rng() % (1ull << 40), static_cast<uint16_t>(rng())});
    }
    layout.processor.five_level_paging = rng() % 2 == 0;
    return layout;
}

TEST(TablePageEstimate, CoversWhatTheBuilderTakesOnUnorderedMaps) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<HostDescriptor> map;
        const uint64_t count = 1 + rng() % 60;
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t slot = (rng() % 3 == 0 ? 1ull << 39 : rng() % 2 ? kGiB : 2 * kMiB);
            const uint64_t base = (1 + rng() % 250) * slot - (rng() % 600) * kPage;
            map.push_back({static_cast<uint32_t>(rng() % 16), base, rng() % 2000});
        }
        const Layout layout = with_kernel_and_framebuffer(std::move(map), rng);
        const uint64_t counted = estimate(layout); // before the framebuffer address moves
        EXPECT_LE(pages_taken(layout, 8192), counted);
    }
}

// A PC-like map, sorted: low memory, RAM up to a hole below 4 GiB, RAM above,
// with firmware ranges sprinkled through it.
std::vector<HostDescriptor> realistic_map(uint64_t ram, std::mt19937_64& rng) {
    constexpr uint64_t kHoleStart = 3 * kGiB;
    constexpr uint64_t kHoleEnd = 4 * kGiB;
    const uint32_t firmware_types[] = {1, 2, 3, 4, 4, 3, 5, 6, 9, 10, 0};
    std::vector<HostDescriptor> map = {{3, 0, 1}, {7, 0x1000, 0x9f}, {0, 0xa0000, 0x60}};
    uint64_t cursor = kMiB;
    uint64_t pages_left = (ram - kMiB) / kPage;
    const auto add = [&](uint32_t type, uint64_t pages) {
        if (cursor < kHoleStart) {
            pages = std::min(pages, (kHoleStart - cursor) / kPage);
        }
        pages = std::min(pages, pages_left);
        map.push_back({type, cursor, pages});
        cursor += pages * kPage;
        pages_left -= pages;
    };
    while (pages_left > 0) {
        if (cursor == kHoleStart) {
            map.push_back({11, kHoleStart, (kHoleEnd - kHoleStart) / kPage}); // PCI hole
            cursor = kHoleEnd;
        }
        add(7, 1 + rng() % 0x8000);
        for (uint64_t i = rng() % 4; i > 0 && cursor != kHoleStart; --i) {
            add(firmware_types[rng() % 11], 1 + rng() % 300);
        }
    }
    return map;
}

TEST(TablePageEstimate, IsTightOnSortedRealisticMaps) {
    std::mt19937_64 rng(4242);
    for (const uint64_t ram : {64 * kMiB, 512 * kMiB, 2 * kGiB, 3 * kGiB + 512 * kMiB, 6 * kGiB}) {
        SCOPED_TRACE("RAM " + std::to_string(ram >> 20) + " MiB");
        const Layout layout = with_kernel_and_framebuffer(realistic_map(ram, rng), rng);
        const uint64_t counted = estimate(layout);
        const uint64_t used = pages_taken(layout, 2 * ram / (2 * kMiB) + 1024);
        EXPECT_LE(used, counted);
        EXPECT_LE(counted, used + 512 + used / 100);
    }
}

class TablePagePoolTest : public LoaderTest {};

TEST_F(TablePagePoolTest, TakesOneRunWhenTheFirmwareHasIt) {
    TablePagePool pool;
    pool.reserve(100);
    EXPECT_EQ(firmware.page_requests, std::vector<uint64_t>{100});
    EXPECT_EQ(pool.run_count(), 1u);
    EXPECT_EQ(pool.pages_reserved(), 100u);
    ASSERT_EQ(page_ledger().count(), 1u);
    const LedgerRange run = page_ledger()[0];
    EXPECT_EQ(run.length, 100 * kPage);

    const PageSource source = pool.source();
    EXPECT_FALSE(source.allocate_pages(source.context, 2).ok()); // one page at a time
    for (uint64_t i = 0; i < 100; ++i) {
        const Allocation page = source.allocate_pages(source.context, 1);
        ASSERT_EQ(page.address, run.base + i * kPage);
        ASSERT_EQ(page.length, kPage);
    }
    EXPECT_FALSE(source.allocate_pages(source.context, 1).ok());
    EXPECT_EQ(pool.pages_handed_out(), 100u);
    EXPECT_EQ(firmware.page_requests.size(), 1u); // nothing more from the firmware
}

TEST_F(TablePagePoolTest, FallsBackToHalvesWhenNoRunIsLongEnough) {
    // The arena holds 16384 pages, placed top-down so runs never touch.
    firmware.placement = FakeFirmware::Placement::Descending;
    TablePagePool pool;
    pool.reserve(20000);
    ASSERT_GE(firmware.page_requests.size(), 3u);
    EXPECT_EQ(firmware.page_requests[0], 20000u);
    EXPECT_EQ(firmware.page_requests[1], 10000u);
    EXPECT_EQ(pool.pages_reserved(), 16384u);
    EXPECT_EQ(page_ledger().count(), pool.run_count()); // each run is one ledger range
    EXPECT_GT(pool.run_count(), 1u);

    std::set<uint64_t> seen;
    const PageSource source = pool.source();
    for (Allocation page = source.allocate_pages(source.context, 1); page.ok();
         page = source.allocate_pages(source.context, 1)) {
        ASSERT_TRUE(page.address >= firmware.arena_base() && page.address < firmware.arena_end());
        ASSERT_TRUE(seen.insert(page.address).second);
    }
    EXPECT_EQ(seen.size(), 16384u);
}

TEST_F(TablePagePoolTest, DryPoolIsReportedAsExhaustedTables) {
    const HostMemoryMap map({{7, 0x100000, 1}});
    for (const int firmware_pages : {0, 1}) {
        SCOPED_TRACE("runs granted: " + std::to_string(firmware_pages));
        fake_arch::reset();
        firmware.allocate_pages_successes_left = firmware_pages;
        TablePagePool pool;
        pool.reserve(2); // the mapping needs three
        HostPageArena root(1);
        PageTableBuilder builder{root.fresh_root(), pool.source(), false};
        EXPECT_FALSE(map_physical_memory(builder, map.map()));
        EXPECT_TRUE(builder.out_of_pages);
        EXPECT_EQ(serial(), "[quillmor] 恒等映射失败 base=0x100000 len=0x1000 类型=7 表耗尽=1\r\n");
    }
}

} // namespace
