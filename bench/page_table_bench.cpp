// The page-table builder over synthetic machines of 1, 16 and 256 GiB: time
// per 4 KiB page mapped (identity and direct map each count), against
// writing the same number of table bytes with memset in the same run: once
// in one call (large memsets may bypass the cache) and once a page per call.
// The loader's sources are built with the image's code-generation flags, so
// the builder runs here as the image runs it, on general registers only.
#include "firmware/page_ledger.h"
#include "mm/page_table_builder.h"
#include "mm/table_page_pool.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "uefi/loader_globals.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

struct Range {
    uint32_t type;
    uint64_t base;
    uint64_t pages;
};

// A PC-like map: low memory, RAM up to 2 GiB with a stretch of firmware
// ranges near its top as OVMF leaves them, the PCI hole, the rest of the RAM
// above 4 GiB.
std::vector<Range> machine_map(uint64_t ram) {
    std::vector<Range> map = {{EfiBootServicesCode, 0, 1},
                              {EfiConventionalMemory, 0x1000, 0x9f},
                              {EfiReservedMemoryType, 0xa0000, 0x60}};
    const uint64_t low_end = ram < 2 * kGiB ? ram : 2 * kGiB;
    const uint64_t firmware_start = low_end - 64 * kMiB;
    map.push_back({EfiConventionalMemory, kMiB, (firmware_start - kMiB) / kPage});
    const uint32_t firmware_types[] = {EfiBootServicesCode,    EfiBootServicesData,
                                       EfiLoaderData,          EfiConventionalMemory,
                                       EfiRuntimeServicesData, EfiACPIReclaimMemory};
    for (uint64_t i = 0, at = firmware_start; i < 128; ++i) {
        const uint64_t pages = (64 * kMiB / kPage) / 128;
        map.push_back({firmware_types[i % 6], at, pages});
        at += pages * kPage;
    }
    map.push_back({EfiMemoryMappedIO, 0xfec00000, 0x1400});
    if (ram > low_end) {
        map.push_back({EfiConventionalMemory, 4 * kGiB, (ram - low_end) / kPage});
    }
    return map;
}

uint64_t mapped_pages(const std::vector<Range>& map) {
    uint64_t pages = 0;
    for (const Range& d : map) {
        pages += is_mapped_memory_type(d.type) ? d.pages : 0;
    }
    return pages;
}

void BM_MapPhysicalMemory(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const std::vector<Range> descriptors = machine_map(state.range(0) * kGiB);
    // The map as a firmware hands it over; the table pages from the fake
    // firmware's arena, obtained as the boot obtains them: up front, by the
    // table-page pool.
    std::vector<uint64_t> map_buffer(descriptors.size() * 48 / 8);
    MemoryMap map;
    uint64_t estimated;
    {
        FakeFirmware probe;
        probe.memory_map.clear();
        for (const Range& d : descriptors) {
            probe.add_descriptor(d.type, d.base, d.pages);
        }
        map = read_memory_map(probe.boot_services().GetMemoryMap,
                              reinterpret_cast<uint64_t>(map_buffer.data()), map_buffer.size() * 8)
                  .value();
        const quillmor_handoff no_framebuffer = {};
        estimated = estimate_table_pages(map, LoadPlan{}, no_framebuffer, ProcessorView{});
    }
    FakeFirmware firmware((estimated + 1) * kPage);
    fake_arch::reset();
    set_loader_globals(firmware.image_handle(), firmware.system_table());
    const auto fresh_builder = [&](TablePagePool& pool) {
        firmware.arena_used = 0;
        firmware.calls.clear();
        page_ledger().clear();
        PageTableBuilder builder = create_page_table_root();
        pool.reserve(estimated);
        builder.source = pool.source();
        return builder;
    };

    const uint64_t leaves = 2 * mapped_pages(descriptors);
    uint64_t tables = 0;
    double map_seconds = 0;
    double memset_seconds = 0;
    double page_memset_seconds = 0;
    for (auto _ : state) {
        TablePagePool pool;
        PageTableBuilder builder = fresh_builder(pool);
        const auto start = Clock::now();
        const bool mapped = map_physical_memory(builder, map);
        const auto built = Clock::now();
        benchmark::DoNotOptimize(mapped);
        tables = pool.pages_handed_out() + 1;
        std::memset(reinterpret_cast<void*>(firmware.arena_base()), 0, tables * kPage);
        benchmark::ClobberMemory();
        const auto written = Clock::now();
        for (uint64_t page = 0; page < tables; ++page) {
            std::memset(reinterpret_cast<void*>(firmware.arena_base() + page * kPage), 0, kPage);
            benchmark::ClobberMemory();
        }
        const auto written_by_page = Clock::now();
        if (!mapped) {
            state.SkipWithError("mapping failed");
            break;
        }
        const double seconds = std::chrono::duration<double>(built - start).count();
        state.SetIterationTime(seconds);
        map_seconds += seconds;
        memset_seconds += std::chrono::duration<double>(written - built).count();
        page_memset_seconds += std::chrono::duration<double>(written_by_page - written).count();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["ns_per_page"] = map_seconds * 1e9 / (runs * static_cast<double>(leaves));
    state.counters["memset_ns_per_page"] =
        memset_seconds * 1e9 / (runs * static_cast<double>(leaves));
    state.counters["ratio_to_memset"] = map_seconds / memset_seconds;
    state.counters["ratio_to_page_memset"] = map_seconds / page_memset_seconds;
    state.counters["table_pages"] = static_cast<double>(tables);
    state.counters["estimated_pages"] = static_cast<double>(estimated);
    state.counters["pages_mapped"] = static_cast<double>(leaves);
}

BENCHMARK(BM_MapPhysicalMemory)
    ->ArgName("GiB")
    ->Arg(1)
    ->Arg(16)
    ->Arg(256)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
