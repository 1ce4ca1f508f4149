// Whole boots that end in the kernel, judged by what the kernel receives: the
// log byte for byte, the record, the region table, the tables CR3 will hold,
// and the map keys the exits used; on a firmware with the quirks real ones
// have (five-level paging left on or not, a GDT in ROM, memory accepted only
// at the exit). Then a firmware that splits a free descriptor for every
// allocation.
#include "mm/page_table_builder.h"
#include "tests/unit/boot_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace {

using namespace machine;

constexpr uint64_t kDirect = 0xffff800000000000ull;
constexpr uint64_t kFramebuffer = 0x80000000; // 768 lines of 4224 bytes: 792 pages

struct Region {
    uint64_t base, length;
    uint32_t type;
    bool operator==(const Region&) const = default;
};

const uint64_t* host_table(uint64_t entry) {
    return reinterpret_cast<const uint64_t*>(entry & paging::kAddressMask);
}

// The level-1 entry that maps `address` under `root`, or 0 when some level on
// the way is not present.
uint64_t leaf_entry(uint64_t root, uint64_t address) {
    const uint64_t* table = host_table(root);
    for (const unsigned shift : {39, 30, 21}) {
        const uint64_t entry = table[paging::table_index(address, shift)];
        if ((entry & paging::kPresent) == 0) {
            return 0;
        }
        table = host_table(entry);
    }
    return table[paging::table_index(address, 12)];
}

bool zero(const void* at, size_t bytes) {
    const auto* begin = static_cast<const uint8_t*>(at);
    return std::all_of(begin, begin + bytes, [](uint8_t b) { return b == 0; });
}

TEST(Boot, KernelReceivesEverythingInPlace) {
    for (const bool five_level : {false, true}) {
        SCOPED_TRACE(five_level ? "five levels" : "four levels");
        FakeFirmware firmware;
        set_up(firmware);
        // Accepted by the first exit, which the firmware then refuses: the map changed.
        firmware.add_descriptor(EfiUnacceptedMemoryType, 0x100000000, 0x800);
        fake_arch::state().cr4 = five_level ? 1u << 12 : 0u;
        fake_arch::state().gdtr = {0xfffdd700, 0x37}; // ROM, in the MMIO descriptor
        fake_arch::state().idtr = {0xa0ff8, 0xfff};   // reserved, across two pages
        const Ending ending = boot(firmware);
        ASSERT_TRUE(ending.kernel.has_value()) << ending.log;
        const uint64_t root = ending.kernel->page_table_root;
        const uint64_t handoff = ending.kernel->handoff_pointer;
        const auto& record = *reinterpret_cast<const quillmor_handoff*>(handoff - kDirect);
        const uint64_t landing = record.kernel_physical_base;
        const uint64_t ramdisk = record.modules[0].address - kDirect,
                       ramdisk_bytes = kReadPiece + 1000;
        const uint64_t rsdp = reinterpret_cast<uint64_t>(firmware.acpi_tables[1]);

        EXPECT_EQ(ending.log,
                  std::string(kBanner) + "[quillmor] 引导卷已打开\r\n" +
                      "[quillmor] 读入 \\boot\\mavotix.elf 6912 字节\r\n" +
                      "[quillmor] 读入 \\boot\\initrd.ustar 1049576 字节\r\n" +
                      "[quillmor] 内核入口=" + hex(kKernelEntry) +
                      " 段=2 映像=20480 字节，落点=" + hex(landing) + " → " + hex(kKernelBase) +
                      "\r\n" + "[quillmor] 页表就绪 PML" + (five_level ? "5=" : "4=") + hex(root) +
                      "\r\n" + "[quillmor] 第二轮内存图 段数=14\r\n" + "[quillmor] 切割区间=2\r\n" +
                      "[quillmor] 内存区=17 自己占页=" + std::to_string(page_ledger().count()) +
                      " RSDP=" + hex(rsdp) + " 帧缓冲=1\r\n" +
                      "[quillmor] 退出引导服务，交接给内核（交接结构=" + hex(handoff) + "）\r\n");
        EXPECT_EQ(ending.kernel->entry_point, kKernelEntry);

        // The fields a kernel may rely on whatever the machine, then this machine's.
        EXPECT_EQ(std::string(record.magic, 8) + "|" + record.loader_name + "|" +
                      record.loader_version + "|" + record.modules[0].name + "|" +
                      record.modules[0].path,
                  "TKVARNOB|quillmor|1.0.0|initrd|\\boot\\initrd.ustar");
        EXPECT_EQ(std::tuple(record.version, record.size, record.processor_count,
                             record.boot_processor_id, record.processors[0].id,
                             record.processors[0].flags, record.module_count),
                  std::tuple(1u, 13544u, 1u, 3u, 3u, 1u, 1u));
        EXPECT_TRUE(zero(record.reserved0, 8) && record.reserved1 == 0 && record.reserved2 == 0 &&
                    zero(&record.modules[1], 3 * sizeof(quillmor_module)) &&
                    zero(&record.processors[1], 63 * sizeof(quillmor_processor)));
        for (uint32_t i = record.region_count; i < QUILLMOR_MAX_REGIONS; ++i) {
            const quillmor_region& unused = record.regions[i];
            ASSERT_TRUE(unused.base == 0 && unused.length == 0 && unused.type == Reserved &&
                        unused.zero == 0);
        }
        EXPECT_EQ(std::tuple(record.direct_map_offset, record.kernel_virtual_base,
                             record.acpi_root_pointer, record.modules[0].length),
                  std::tuple(kDirect, kKernelBase, rsdp, ramdisk_bytes));
        EXPECT_EQ(std::tuple(record.framebuffer_count, record.framebuffer_address,
                             record.framebuffer_width, record.framebuffer_height,
                             record.framebuffer_pitch, record.framebuffer_bits_per_pixel),
                  std::tuple(1u, kDirect + kFramebuffer, 1024u, 768u, 4224u, uint16_t{32}));
        EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(ramdisk),
                              firmware.files[kRamdiskFile].data(), ramdisk_bytes),
                  0);
        EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(landing),
                              firmware.files[kKernelFile].data() + 0x200, 0x1800),
                  0);

        // Ten regions of the typical map before the arena, in which the
        // ramdisk and the whole pages of the kernel (its memory ends
        // mid-page) are set apart; the accepted memory last.
        std::vector<Region> regions;
        for (uint32_t i = 0; i < record.region_count; ++i) {
            regions.push_back(
                {record.regions[i].base, record.regions[i].length, record.regions[i].type});
        }
        ASSERT_EQ(regions.size(), 17u);
        const uint64_t arena = firmware.arena_base(), after_ramdisk = ramdisk + ramdisk_bytes;
        EXPECT_EQ(std::vector<Region>(regions.begin() + 10, regions.begin() + 15),
                  (std::vector<Region>{
                      {arena, ramdisk - arena, Reserved},
                      {ramdisk, ramdisk_bytes, KernelAndModules},
                      {after_ramdisk, landing - after_ramdisk, Reserved},
                      {landing, 0x5000, KernelAndModules},
                      {landing + 0x5000, firmware.arena_end() - landing - 0x5000, Reserved}}));
        EXPECT_EQ(regions.back(), (Region{0x100000000, 0x800000, Usable}));
        EXPECT_EQ(firmware.exit_boot_services_keys,
                  (std::vector<UINTN>{firmware.map_key - 1, firmware.map_key}));
        // Nothing between each reading and the exit that took its key.
        EXPECT_EQ(std::vector<std::string>(firmware.calls.end() - 4, firmware.calls.end()),
                  (std::vector<std::string>{"GetMemoryMap", "ExitBootServices", "GetMemoryMap",
                                            "ExitBootServices"}));

        uint64_t pml4 = root;
        if (five_level) { // both halves lead to the four-level root, nothing else
            const uint64_t* pml5 = host_table(root);
            pml4 = pml5[0] & paging::kAddressMask;
            EXPECT_EQ(std::tuple(pml5[0], pml5[511], std::count(pml5, pml5 + 512, 0u)),
                      std::tuple(pml4 | 3, pml4 | 3, 510));
        }
        // What the kernel may use, and the runtime services' data, in both maps.
        std::vector<Region> mapped = {{0x1510000, 0x20000, Reserved}};
        std::copy_if(regions.begin(), regions.end(), std::back_inserter(mapped),
                     [](const Region& r) {
                         return r.type != Reserved && r.type != Mmio && r.type != BadMemory;
                     });
        for (const Region& r : mapped) {
            for (uint64_t page = r.base & ~0xfffull; page < r.base + r.length; page += 4096) {
                ASSERT_EQ(leaf_entry(pml4, page), page | 0x3) << hex(page);
                ASSERT_EQ(leaf_entry(pml4, kDirect + page), page | 0x3) << hex(page);
            }
        }
        // The kernel's pages, its last one partly used; the record; the
        // framebuffer in the direct map only; the pages under the GDT and
        // the IDT at their own addresses only; nothing else reserved or MMIO.
        const uint64_t record_page = handoff - kDirect;
        const std::vector<std::pair<uint64_t, uint64_t>> leaves = {
            {kKernelEntry, landing | 3},
            {kKernelBase + 0x4000, (landing + 0x4000) | 3},
            {kKernelBase + 0x5000, 0},
            {handoff, record_page | 3},
            {record_page, record_page | 3},
            {kDirect + kFramebuffer + 791 * 4096, (kFramebuffer + 791 * 4096) | 3},
            {kDirect + kFramebuffer + 792 * 4096, 0},
            {kFramebuffer, 0},
            {0xfffdd000, 0xfffdd003},
            {kDirect + 0xfffdd000, 0},
            {0xa0000, 0xa0003},
            {0xa1000, 0xa1003},
            {kDirect + 0xa1000, 0},
            {0xa2000, 0},
            {0xffc00000, 0}};
        for (const auto& [address, leaf] : leaves) {
            EXPECT_EQ(leaf_entry(pml4, address), leaf) << hex(address);
        }
    }
}

// A firmware that splits a free descriptor in three for every allocation,
// with free memory in runs of 70 pages and some 1500 table pages to find
// (a framebuffer of 3 GB): the pool asks for halves down to a 32nd of that,
// and then takes all its 32 runs. Two descriptors more for each allocation:
// four before the size query (the files, the landing area, the record), then
// the map buffer, the table root and the 32 runs; the map buffer must hold
// the second reading.
TEST(Boot, FragmentingFirmwareFitsTheMapBufferWithEveryAllocationSplitting) {
    constexpr uint64_t kRuns = 40, kRunPages = 70;
    FakeFirmware firmware(kRuns * (kRunPages + 1) * 4096);
    set_up(firmware, 1000);
    firmware.fragmenting = true;
    firmware.memory_map.clear();
    for (uint64_t i = 0; i < kRuns; ++i) {
        const uint64_t run = firmware.arena_base() + i * (kRunPages + 1) * 4096;
        firmware.add_descriptor(EfiConventionalMemory, run, kRunPages);
        firmware.add_descriptor(EfiReservedMemoryType, run + kRunPages * 4096, 1);
    }
    for (uint64_t i = 0; i < 200; ++i) { // hundreds of descriptors
        firmware.add_descriptor(EfiReservedMemoryType, 0x100000000 + i * 0x2000, 1);
    }
    firmware.graphics_info.VerticalResolution = 1500 * 512;
    firmware.graphics_mode.FrameBufferBase = 1ull << 40;
    const uint64_t at_start = firmware.memory_map.size();
    const Ending ending = boot(firmware);
    ASSERT_TRUE(ending.kernel.has_value()) << ending.log;
    EXPECT_EQ(page_ledger().count(), 38u); // files, landing, record, map, root, 32 runs
    const std::string second_reading = std::to_string(at_start + 2 * 4 + 2 * (2 + 32));
    EXPECT_NE(ending.log.find("第二轮内存图 段数=" + second_reading + "\r\n"), std::string::npos)
        << ending.log;
}

} // namespace
