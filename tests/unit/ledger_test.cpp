#include "firmware/allocator.h"
#include "firmware/page_ledger.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

constexpr uint64_t kMax = ~0ull;

int pages_granted = 0;

// A firmware that grants any page count.
EFI_STATUS EFIAPI grant_any_page_count(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN,
                                       EFI_PHYSICAL_ADDRESS* memory) {
    ++pages_granted;
    *memory = 0x100000;
    return EFI_SUCCESS;
}

class LedgerTest : public LoaderTest {
  protected:
    static Ranges entries() {
        Ranges out;
        for (uint64_t i = 0; i < page_ledger().count(); ++i) {
            out.emplace_back(page_ledger()[i].base, page_ledger()[i].length);
        }
        return out;
    }

    // Fills the ledger with one-page ranges that never touch; the last ends at `last_end`.
    static void fill_ledger(uint64_t last_end) {
        for (uint64_t i = PageLedger::kCapacity; i > 0; --i) {
            ASSERT_TRUE(ledger_add(last_end - 0x1000 - (i - 1) * 0x2000, 0x1000));
        }
    }

    static void expect_nothing(const Allocation& allocation) {
        EXPECT_EQ(allocation.address, 0u);
        EXPECT_EQ(allocation.length, 0u);
    }
};

TEST_F(LedgerTest, OnlyARangeStartingAtTheLastEntrysEndIsMerged) {
    const std::vector<std::tuple<const char*, Ranges, Ranges>> cases = {
        {"back to back", {{0x1000, 0x2000}, {0x3000, 0x1000}}, {{0x1000, 0x3000}}},
        {"just below", {{0x5000, 0x1000}, {0x4000, 0x1000}}, {{0x5000, 0x1000}, {0x4000, 0x1000}}},
        {"overlapping", {{0x5000, 0x2000}, {0x6000, 0x2000}}, {{0x5000, 0x2000}, {0x6000, 0x2000}}},
        {"inside", {{0x5000, 0x3000}, {0x6000, 0x1000}}, {{0x5000, 0x3000}, {0x6000, 0x1000}}},
        {"continues an earlier entry",
         {{0x1000, 0x1000}, {0x8000, 0x1000}, {0x2000, 0x1000}},
         {{0x1000, 0x1000}, {0x8000, 0x1000}, {0x2000, 0x1000}}},
        {"100 bytes 24 into a page", {{0x10018, 100}}, {{0x10000, 0x1000}}},
        {"crossing one page boundary", {{0x10FF0, 0x20}}, {{0x10000, 0x2000}}},
        {"two blocks in one page",
         {{0x10018, 100}, {0x10100, 100}},
         {{0x10000, 0x1000}, {0x10000, 0x1000}}},
        {"unaligned block in the next page",
         {{0x10000, 0x1000}, {0x11008, 8}},
         {{0x10000, 0x2000}}},
    };
    for (const auto& [what, added, expected] : cases) {
        page_ledger().clear();
        for (const auto& [base, length] : added) {
            EXPECT_TRUE(ledger_add(base, length)) << what;
        }
        EXPECT_EQ(entries(), expected) << what;
    }
    expect_check_failure([] { ledger_add(kMax - 10, 20); }, "integer overflow");
    expect_check_failure([] { ledger_add(kMax - 4000, 100); }, "integer overflow"); // rounding
}

TEST_F(LedgerTest, FullLedgerStillExtendsItsLastEntryButRefusesAnythingElse) {
    fill_ledger(0x40000000);
    const Ranges full = entries();
    EXPECT_FALSE(ledger_add(0x50000000, 0x1000));
    EXPECT_FALSE(ledger_add(0x40000000 - 0x2000, 0x1000)); // just below the last
    EXPECT_EQ(entries(), full);
    EXPECT_TRUE(ledger_add(0x40000000, 0x1800));
    EXPECT_EQ(page_ledger().count(), PageLedger::kCapacity);
    EXPECT_EQ(entries().back(), (std::pair<uint64_t, uint64_t>{0x40000000 - 0x1000, 0x3000}));
}

TEST_F(LedgerTest, AllocationsAreLoaderDataRecordedByWholePages) {
    const Allocation first = alloc_pages(3);
    const Allocation second = alloc_pages(2); // the fake places it right after the first
    EXPECT_EQ(first.address, firmware.arena_base());
    EXPECT_EQ(first.length, 3u * 4096);
    EXPECT_EQ(second.length, 2u * 4096);
    EXPECT_EQ(firmware.page_requests, (std::vector<uint64_t>{3, 2}));
    EXPECT_EQ(entries(), (Ranges{{first.address, 5 * 4096}}));

    page_ledger().clear();
    firmware.pool_offset = 24;
    const uint64_t page = firmware.arena_base() + 5 * 4096;
    EXPECT_EQ(alloc_pool(100).address, page + 24);
    EXPECT_EQ(alloc_pool(100).address, page + 152); // same page
    EXPECT_EQ(alloc_pool(4000).length, 4000u);      // crosses into the next page
    EXPECT_EQ(entries(), (Ranges{{page, 4096}, {page, 4096}, {page, 8192}}));
}

TEST_F(LedgerTest, AllocatorsGiveNothingWhenTheFirmwareOrTheLedgerRefuses) {
    firmware.system_table()->BootServices = nullptr;
    expect_nothing(alloc_pages(1));
    expect_nothing(alloc_pool(16));
    EXPECT_TRUE(firmware.calls.empty());
    firmware.system_table()->BootServices = &firmware.boot_services();

    firmware.allocate_pages_successes_left = 0;
    firmware.allocate_pool_successes_left = 0;
    expect_nothing(alloc_pages(1));
    expect_nothing(alloc_pool(16));
    expect_nothing(alloc_pages(1ull << 52)); // refused: no length is computed
    firmware.boot_services().AllocatePool = fake_pool_without_buffer;
    expect_nothing(alloc_pool(16));
    EXPECT_EQ(page_ledger().count(), 0u);

    firmware.allocate_pages_successes_left = -1;
    fill_ledger(0x40000000);
    firmware.calls.clear();
    expect_nothing(alloc_pages(1)); // granted, but the full ledger refuses it
    EXPECT_EQ(firmware.calls, std::vector<std::string>{"AllocatePages"});
    EXPECT_FALSE(firmware.exit_call.has_value());
}

TEST_F(LedgerTest, FullLedgerTakesAnAllocationThatContinuesItsLastEntryOnly) {
    fill_ledger(firmware.arena_base());
    EXPECT_EQ(alloc_pages(2).address, firmware.arena_base()); // where the last entry ends
    EXPECT_EQ(alloc_pool(16).address, firmware.arena_base() + 0x2000);
    expect_nothing(alloc_pool(16)); // in the same page as the block before
    EXPECT_EQ(page_ledger().count(), PageLedger::kCapacity);
    EXPECT_EQ(entries().back(),
              (std::pair<uint64_t, uint64_t>{firmware.arena_base() - 0x1000, 0x4000}));
}

TEST_F(LedgerTest, PageCountOf2To52IsAnOverflowAfterTheFirmwareGrantsIt) {
    firmware.boot_services().AllocatePages = grant_any_page_count;
    expect_check_failure([] { alloc_pages(1ull << 52); }, "integer overflow");
    EXPECT_EQ(pages_granted, 1);
    EXPECT_EQ(page_ledger().count(), 0u);
}

} // namespace
