// Whole boots that end in the kernel, judged by what the kernel receives: the
// log byte for byte, the record, the region table, the tables CR3 will hold,
// and the map key the exit used. Then firmware quirks (five-level paging, a
// GDT in ROM, memory accepted only at the exit) and a firmware that splits a
// free descriptor for every allocation.
#include "tests/unit/boot_machine.h"
#include "tests/unit/host_page_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

namespace {

using namespace machine;

constexpr uint64_t kDirect = 0xffff800000000000ull;

struct Region {
    uint64_t base, length;
    uint32_t type;
    bool operator==(const Region&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Region& r) {
    return out << "{" << hex(r.base) << ", " << hex(r.length) << ", " << r.type << "}";
}

std::vector<Region> regions_of(const quillmor_handoff& record) {
    std::vector<Region> out;
    for (uint32_t i = 0; i < record.region_count; ++i) {
        out.push_back({record.regions[i].base, record.regions[i].length, record.regions[i].type});
    }
    return out;
}

const quillmor_handoff& record_of(const Ending& ending) {
    return *reinterpret_cast<const quillmor_handoff*>(ending.kernel->handoff_pointer - kDirect);
}

TEST(Boot, KernelReceivesEverythingInPlace) {
    FakeFirmware firmware;
    set_up(firmware);
    power_on();
    const Ending ending = boot(firmware);
    ASSERT_TRUE(ending.kernel.has_value()) << ending.log;
    const quillmor_handoff& record = record_of(ending);
    const uint64_t landing = record.kernel_physical_base;
    const uint64_t ramdisk = record.modules[0].address - kDirect;
    const uint64_t root = ending.kernel->page_table_root;

    const std::string regions_line =
        "[quillmor] 内存区=16 自己占页=" + std::to_string(page_ledger().count()) +
        " RSDP=" + hex(reinterpret_cast<uint64_t>(firmware.configuration[1].VendorTable)) +
        " 帧缓冲=1\r\n";
    EXPECT_EQ(ending.log,
              std::string(kBanner) + "[quillmor] 引导卷已打开\r\n" +
                  "[quillmor] 读入 \\boot\\mavotix.elf 6912 字节\r\n" +
                  "[quillmor] 读入 \\boot\\initrd.ustar 1049576 字节\r\n" + "[quillmor] 内核入口=" +
                  hex(kKernelEntry) + " 段=2 映像=20480 字节，落点=" + hex(landing) + " → " +
                  hex(kKernelBase) + "\r\n" + "[quillmor] 页表就绪 PML4=" + hex(root) + "\r\n" +
                  "[quillmor] 第二轮内存图 段数=13\r\n" + "[quillmor] 切割区间=2\r\n" +
                  regions_line + "[quillmor] 退出引导服务，交接给内核（交接结构=" +
                  hex(ending.kernel->handoff_pointer) + "）\r\n");
    EXPECT_EQ(ending.kernel->entry_point, kKernelEntry);

    // The fields a kernel may rely on whatever the machine: the header, the
    // loader's name, the module's name and path, and zeros elsewhere.
    EXPECT_EQ(std::memcmp(record.magic, "TKVARNOB", 8), 0);
    EXPECT_EQ(std::tuple(record.version, record.size, record.processor_count,
                         record.boot_processor_id, record.processors[0].id,
                         record.processors[0].flags),
              std::tuple(1u, 13544u, 1u, 3u, 3u, 1u));
    EXPECT_EQ(std::memcmp(record.loader_name, "quillmor", 9) |
                  std::memcmp(record.loader_version, "1.0.0", 6) |
                  std::memcmp(record.modules[0].name, "initrd", 7) |
                  std::memcmp(record.modules[0].path, "\\boot\\initrd.ustar", 19),
              0);
    const auto zero = [](const void* at, size_t bytes) {
        return std::all_of(static_cast<const uint8_t*>(at), static_cast<const uint8_t*>(at) + bytes,
                           [](uint8_t b) { return b == 0; });
    };
    EXPECT_TRUE(zero(record.reserved0, 8) && record.reserved1 == 0 && record.reserved2 == 0 &&
                zero(&record.modules[1], 3 * sizeof(quillmor_module)) &&
                zero(&record.processors[1], 63 * sizeof(quillmor_processor)));
    for (uint32_t i = record.region_count; i < QUILLMOR_MAX_REGIONS; ++i) {
        ASSERT_TRUE(record.regions[i].base == 0 && record.regions[i].length == 0 &&
                    record.regions[i].type == Reserved && record.regions[i].zero == 0);
    }
    EXPECT_EQ(record.direct_map_offset, kDirect);
    EXPECT_EQ(record.kernel_virtual_base, kKernelBase);
    EXPECT_EQ(record.acpi_root_pointer,
              reinterpret_cast<uint64_t>(firmware.configuration[1].VendorTable));
    ASSERT_EQ(record.module_count, 1u);
    EXPECT_EQ(record.modules[0].length, kReadPiece + 1000);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(ramdisk),
                          firmware.files[kRamdiskFile].data(), kReadPiece + 1000),
              0);
    const std::vector<uint8_t> kernel = kernel_file();
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(landing), kernel.data() + 0x200, 0x1800),
              0);
    EXPECT_EQ(record.framebuffer_address, kDirect + kFramebuffer);
    EXPECT_EQ(std::tuple(record.framebuffer_width, record.framebuffer_height,
                         record.framebuffer_pitch, record.framebuffer_bits_per_pixel),
              std::tuple(1024u, 768u, 4224u, uint16_t{32}));

    // The typical map; in the arena the ramdisk and the whole pages of the
    // kernel (its memory ends mid-page) are set apart.
    std::vector<Region> regions = {
        {0x0, 0x1000, BootReclaimable},
        {0x1000, 0x9f000, Usable},
        {0xa0000, 0x60000, Reserved},
        {0x100000, 0x700000, Usable},
        {0x800000, 0x8000, AcpiNvs},
        {0x808000, 0x7f8000, Usable},
        {0x1000000, 0x500000, BootReclaimable},
        {0x1500000, 0x10000, AcpiReclaimable},
        {0x1510000, 0x20000, Reserved},
        {0x1530000, 0x2ad0000, Usable},
        {firmware.arena_base(), ramdisk - firmware.arena_base(), Reserved},
        {ramdisk, kReadPiece + 1000, KernelAndModules},
        {ramdisk + kReadPiece + 1000, landing - ramdisk - kReadPiece - 1000, Reserved},
        {landing, 0x5000, KernelAndModules},
        {landing + 0x5000, firmware.arena_end() - landing - 0x5000, Reserved},
        {0xffc00000, 0x400000, Mmio}};
    EXPECT_EQ(regions_of(record), regions);

    // The kernel's pages, its last one partly used; RAM twice; the
    // framebuffer in the direct map only; nothing reserved or MMIO.
    EXPECT_EQ(leaf_entry(root, kKernelEntry), landing | 0x3);
    EXPECT_EQ(leaf_entry(root, kKernelBase + 0x4000), (landing + 0x4000) | 0x3);
    EXPECT_EQ(leaf_entry(root, kKernelBase + 0x5000), 0u);
    const uint64_t record_physical = ending.kernel->handoff_pointer - kDirect;
    EXPECT_EQ(leaf_entry(root, ending.kernel->handoff_pointer), record_physical | 0x3);
    EXPECT_EQ(leaf_entry(root, record_physical), record_physical | 0x3);
    EXPECT_EQ(leaf_entry(root, kDirect + kFramebuffer + 767 * 4096),
              (kFramebuffer + 767 * 4096) | 0x3);
    EXPECT_EQ(leaf_entry(root, kFramebuffer), 0u);
    EXPECT_EQ(leaf_entry(root, 0x100000), 0x100003u);
    EXPECT_EQ(leaf_entry(root, kDirect + 0x3fff000), 0x3fff003u);
    EXPECT_EQ(leaf_entry(root, 0xa0000), 0u);
    EXPECT_EQ(leaf_entry(root, 0xffc00000), 0u);

    // Nothing between the second reading and the exit, which took its key.
    EXPECT_EQ(std::vector<std::string>(firmware.calls.end() - 2, firmware.calls.end()),
              (std::vector<std::string>{"GetMemoryMap", "ExitBootServices"}));
    EXPECT_EQ(firmware.exit_boot_services_keys, std::vector<UINTN>{firmware.map_key});
}

TEST(Boot, KernelJustClearOfTheLoaderImageAndStackBoots) {
    FakeFirmware firmware;
    set_up(firmware);
    power_on();
    firmware.loaded_image.ImageBase = reinterpret_cast<void*>(kKernelBase - 0x10000);
    firmware.loaded_image.ImageSize = 0x10000;
    // The stack window: 128 KiB below the stack pointer's page, and that page.
    fake_arch::state().stack_pointer = kKernelBase + 0x5000 + 0x20000;
    EXPECT_TRUE(boot(firmware).kernel.has_value());
}

// Firmware that accepts memory only when boot services end (the first exit
// is refused: the map changed), keeps its GDT in ROM and its IDT in reserved
// memory, and may leave five-level paging on.
TEST(Boot, WhatTheKernelMayTouchIsMappedUnderTheRootInCr3) {
    for (const bool five_level : {false, true}) {
        SCOPED_TRACE(five_level ? "five levels" : "four levels");
        FakeFirmware firmware;
        set_up(firmware);
        firmware.add_descriptor(EfiUnacceptedMemoryType, 0x100000000, 0x800);
        power_on();
        fake_arch::state().cr4 = five_level ? 1u << 12 : 0u;
        fake_arch::state().gdtr = {0xfffdd700, 0x37}; // ROM, in the MMIO descriptor
        fake_arch::state().idtr = {0xa0ff8, 0xfff};   // reserved, across two pages
        const Ending ending = boot(firmware);
        ASSERT_TRUE(ending.kernel.has_value()) << ending.log;
        const uint64_t root = ending.kernel->page_table_root;
        EXPECT_NE(ending.log.find(std::string("页表就绪 PML") + (five_level ? "5=" : "4=") +
                                  hex(root) + "\r\n"),
                  std::string::npos);
        uint64_t pml4 = root;
        if (five_level) { // both halves lead to the four-level root, nothing else
            const uint64_t* pml5 = host_table(root);
            pml4 = pml5[0] & paging::kAddressMask;
            EXPECT_EQ(pml5[0], pml4 | 0x3);
            EXPECT_EQ(pml5[511], pml4 | 0x3);
            EXPECT_EQ(std::count(pml5, pml5 + 512, 0u), 510);
        }
        const quillmor_handoff& record = record_of(ending);
        EXPECT_EQ(leaf_entry(pml4, kKernelEntry), record.kernel_physical_base | 0x3);
        // Accepted at the refused first exit, usable after the second.
        const std::vector<Region> regions = regions_of(record);
        EXPECT_NE(std::find(regions.begin(), regions.end(), Region{0x100000000, 0x800000, Usable}),
                  regions.end());
        EXPECT_EQ(firmware.exit_boot_services_keys.size(), 2u);
        // What the kernel may use, and the runtime services, in both maps.
        std::vector<Region> mapped = {{0x1510000, 0x20000, Reserved}};
        std::copy_if(regions.begin(), regions.end(), std::back_inserter(mapped),
                     [](const Region& r) {
                         return r.type != Reserved && r.type != Mmio && r.type != BadMemory;
                     });
        for (const Region& r : mapped) {
            for (uint64_t page = r.base & ~0xfffull; page < r.base + r.length; page += 4096) {
                ASSERT_EQ(leaf_entry(pml4, page), page | 0x3) << r;
                ASSERT_EQ(leaf_entry(pml4, kDirect + page), page | 0x3) << r;
            }
        }
        // The pages under the GDT and the IDT, at their own addresses only.
        for (const uint64_t page : {0xfffdd000ull, 0xa0000ull, 0xa1000ull}) {
            EXPECT_EQ(leaf_entry(pml4, page), page | 0x3);
            EXPECT_EQ(leaf_entry(pml4, kDirect + page), 0u);
        }
        EXPECT_EQ(leaf_entry(pml4, 0xa2000), 0u);
    }
}

// A firmware that splits a free descriptor in three for every allocation,
// with free memory in runs of 70 pages and about 1500 table pages to find:
// the pool asks for halves down to a 32nd of that, and then takes all its 32
// runs. Counts the descriptors at the size query and at each reading.
std::vector<uint64_t> page_requests;
std::vector<size_t> descriptors_at_call;
EFI_ALLOCATE_PAGES allocate_pages;
EFI_GET_MEMORY_MAP get_memory_map;

EFI_STATUS EFIAPI counted_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory, UINTN pages,
                                EFI_PHYSICAL_ADDRESS* address) {
    page_requests.push_back(pages);
    return allocate_pages(type, memory, pages, address);
}

EFI_STATUS EFIAPI counted_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key, UINTN* stride,
                              uint32_t* version) {
    descriptors_at_call.push_back(FakeFirmware::current().memory_map.size());
    return get_memory_map(size, map, key, stride, version);
}

TEST(Boot, FragmentingFirmwareFitsTheMapBufferWithEveryAllocationSplitting) {
    constexpr uint64_t kRuns = 40, kRunPages = 70;
    FakeFirmware firmware(kRuns * (kRunPages + 1) * 4096);
    firmware.fragmenting = true;
    for (uint64_t i = 0; i < kRuns; ++i) {
        const uint64_t run = firmware.arena_base() + i * (kRunPages + 1) * 4096;
        firmware.add_descriptor(EfiConventionalMemory, run, kRunPages);
        firmware.add_descriptor(EfiReservedMemoryType, run + kRunPages * 4096, 1);
    }
    for (uint64_t i = 0; i < 200; ++i) { // hundreds of descriptors
        firmware.add_descriptor(EfiReservedMemoryType, 0x100000000 + i * 0x2000, 1);
    }
    firmware.files[kKernelFile] = kernel_file();
    firmware.files[kRamdiskFile] = std::vector<uint8_t>(1000, 0x5a);
    firmware.install_graphics(1024, 1500 * 512, 1ull << 40); // 1500 page tables
    allocate_pages = std::exchange(firmware.boot_services().AllocatePages, counted_pages);
    get_memory_map = std::exchange(firmware.boot_services().GetMemoryMap, counted_map);
    power_on();
    const Ending ending = boot(firmware);
    ASSERT_TRUE(ending.kernel.has_value()) << ending.log;

    const uint64_t need = page_requests.at(3), run = (need + 31) / 32;
    EXPECT_EQ(std::count(page_requests.begin() + 3, page_requests.end(), run),
              31 + (need % run == 0));
    EXPECT_EQ(page_ledger().count(), 38u); // files, landing, record, map, root, 32 runs
    // Two descriptors for each allocation after the size query: the map
    // buffer by the first reading; the root and the 32 runs as well by the
    // second.
    ASSERT_EQ(descriptors_at_call.size(), 3u);
    const size_t query = descriptors_at_call[0];
    std::printf("descriptors: %zu at the size query, +%zu at the first reading, +%zu at the "
                "second; table pages %llu in runs of %llu\n",
                query, descriptors_at_call[1] - query, descriptors_at_call[2] - query,
                static_cast<unsigned long long>(need), static_cast<unsigned long long>(run));
    EXPECT_EQ(descriptors_at_call[1], query + 2);
    EXPECT_EQ(descriptors_at_call[2], query + 2 * 34);
}

} // namespace
