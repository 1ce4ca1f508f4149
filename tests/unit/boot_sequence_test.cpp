#include "boot/boot_sequence.h"
#include "tests/unit/host_page_tables.h"
#include "tests/unit/loader_test.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kDirect = 0xffff800000000000ull;
constexpr uint64_t kKernelBase = 0xffffffff80000000ull;
constexpr uint64_t kKernelEntry = kKernelBase + 0x40;
constexpr uint64_t kFramebuffer = 0x80000000;

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

template <typename T> void put(std::vector<uint8_t>& bytes, uint64_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

// An x86-64 executable of two loadable segments: 0x1800 bytes of code and
// data at the base, then 0x100 bytes of data and .bss up to base + 0x5000.
std::vector<uint8_t> kernel_image() {
    std::vector<uint8_t> bytes(0x1b00);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const uint8_t ident[16] = {0x7f, 'E', 'L', 'F', 2, 1, 1};
    std::memcpy(bytes.data(), ident, sizeof(ident));
    put<uint16_t>(bytes, 16, 2);
    put<uint16_t>(bytes, 18, 62);
    put<uint64_t>(bytes, 24, kKernelEntry);
    put<uint64_t>(bytes, 32, 64);
    put<uint16_t>(bytes, 54, 56);
    put<uint16_t>(bytes, 56, 2);
    const uint64_t segments[2][4] = {{0x200, kKernelBase, 0x1800, 0x1800},
                                     {0x1a00, kKernelBase + 0x2000, 0x100, 0x3000}};
    for (uint64_t i = 0; i < 2; ++i) {
        const uint64_t header = 64 + i * 56;
        put<uint32_t>(bytes, header, 1);
        put<uint64_t>(bytes, header + 8, segments[i][0]);
        put<uint64_t>(bytes, header + 16, segments[i][1]);
        put<uint64_t>(bytes, header + 32, segments[i][2]);
        put<uint64_t>(bytes, header + 40, segments[i][3]);
    }
    return bytes;
}

// Every GetMemoryMap call as the loader made it, answered by the fake.
struct MapCall {
    uint64_t buffer;
    UINTN offered;
    UINTN key;
};
std::vector<MapCall> map_calls;

EFI_STATUS EFIAPI RecordingGetMemoryMap(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                                        UINTN* descriptor_size, uint32_t* version) {
    const UINTN offered = *size;
    const EFI_STATUS status =
        FakeFirmware::current().get_memory_map(size, map, key, descriptor_size, version);
    map_calls.push_back({reinterpret_cast<uint64_t>(map), offered, *key});
    return status;
}

struct Region {
    uint64_t base, length;
    uint32_t type;
    bool operator==(const Region&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Region& r) {
    return out << "{" << hex(r.base) << ", " << hex(r.length) << ", " << r.type << "}";
}

class BootSequenceTest : public LoaderTest {
  protected:
    BootSequenceTest() {
        map_calls.clear();
        firmware.use_typical_memory_map();
        firmware.boot_services().GetMemoryMap = RecordingGetMemoryMap;
        firmware.add_file("\\boot\\mavotix.elf", kernel);
        firmware.add_file("\\boot\\initrd.ustar", ramdisk);
        firmware.install_graphics(1024, 768, 1024, PixelBlueGreenRedReserved8BitPerColor,
                                  kFramebuffer);
        firmware.configuration.push_back({ACPI_TABLE_GUID, &rsdp[0]});
        firmware.configuration.push_back({EFI_ACPI_20_TABLE_GUID, &rsdp[1]});
        firmware.sync_configuration();
        fake_arch::set_cpuid(1, 0, 0, 3u << 24, 0, 0);
    }

    // Runs the whole sequence; empty when it stopped instead of entering the kernel.
    std::optional<fake_arch::EnteredKernel> boot() {
        try {
            run_boot_sequence(firmware.image_handle(), firmware.system_table());
        } catch (const fake_arch::EnteredKernel& entered) {
            return entered;
        } catch (const fake_arch::Halted&) {
        }
        return std::nullopt;
    }

    // The region table the typical map gives, the landing area and the
    // ramdisk set apart inside the loader-data range of the arena.
    static std::vector<Region> expected_regions(const quillmor_handoff& record, uint64_t arena,
                                                uint64_t arena_end) {
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
        };
        Region carved[2] = {{record.kernel_physical_base, 0x5000, KernelAndModules},
                            {record.modules[0].address - kDirect, 1000, KernelAndModules}};
        std::sort(std::begin(carved), std::end(carved),
                  [](const Region& a, const Region& b) { return a.base < b.base; });
        uint64_t cursor = arena;
        for (const Region& c : carved) {
            regions.push_back({cursor, c.base - cursor, Reserved});
            regions.push_back(c);
            cursor = c.base + c.length;
        }
        regions.push_back({cursor, arena_end - cursor, Reserved});
        regions.push_back({0xffc00000, 0x400000, Mmio});
        return regions;
    }

    static std::vector<Region> regions_of(const quillmor_handoff& record) {
        std::vector<Region> out;
        for (uint32_t i = 0; i < record.region_count; ++i) {
            out.push_back(
                {record.regions[i].base, record.regions[i].length, record.regions[i].type});
        }
        for (uint32_t i = record.region_count; i < QUILLMOR_MAX_REGIONS; ++i) {
            const quillmor_region& r = record.regions[i];
            EXPECT_TRUE(r.base == 0 && r.length == 0 && r.type == Reserved) << "entry " << i;
        }
        return out;
    }

    // The lines of the log after the banner, without their CR LF.
    std::vector<std::string> lines() const {
        const std::string log = serial();
        EXPECT_EQ(log.compare(0, sizeof(kBanner) - 1, kBanner), 0) << "no banner";
        std::vector<std::string> out;
        for (size_t at = sizeof(kBanner) - 1; at < log.size();) {
            const size_t end = log.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "unterminated line";
            if (end == std::string::npos) {
                break;
            }
            out.push_back(log.substr(at, end - at));
            at = end + 2;
        }
        return out;
    }

    // The progress lines up to `progress_lines`, then only the fatal line,
    // after the stage's own line when it writes one.
    void expect_stop_after(size_t progress_lines, const std::string& message,
                           const char* own_line = nullptr) {
        static const char* const kProgress[] = {"[quillmor] 引导卷已打开",
                                                "[quillmor] 读入 \\boot\\mavotix.elf 6912 字节",
                                                "[quillmor] 读入 \\boot\\initrd.ustar 1000 字节",
                                                "[quillmor] 内核入口=",
                                                "[quillmor] 页表就绪 PML4=0x",
                                                "[quillmor] 第二轮内存图 段数=",
                                                "[quillmor] 切割区间=2",
                                                "[quillmor] 内存区=",
                                                "[quillmor] 退出引导服务，交接给内核（交接结构=0x"};
        const std::vector<std::string> log = lines();
        ASSERT_EQ(log.size(), progress_lines + (own_line != nullptr ? 2 : 1)) << serial();
        if (own_line != nullptr) {
            EXPECT_EQ(log[progress_lines], own_line);
        }
        for (size_t i = 0; i < progress_lines; ++i) {
            EXPECT_EQ(log[i].rfind(kProgress[i], 0), 0u) << log[i];
        }
        EXPECT_EQ(log.back(), "[quillmor] 装载失败：" + message);
    }

    std::vector<uint8_t> kernel = kernel_image();
    std::vector<uint8_t> ramdisk = std::vector<uint8_t>(1000, 0x5a);
    uint8_t rsdp[2][36] = {};
};

TEST_F(BootSequenceTest, CompleteBootEntersTheKernelWithEverythingInPlace) {
    const auto entered = boot();
    ASSERT_TRUE(entered.has_value()) << serial();
    const uint64_t record_address = entered->handoff_pointer - kDirect;
    const auto& record = *reinterpret_cast<const quillmor_handoff*>(record_address);
    const uint64_t landing = record.kernel_physical_base;
    const uint64_t ramdisk_address = record.modules[0].address - kDirect;
    const std::vector<Region> regions =
        expected_regions(record, firmware.arena_base(), firmware.arena_end());

    const std::string expected_log =
        std::string(kBanner) + "[quillmor] 引导卷已打开\r\n" +
        "[quillmor] 读入 \\boot\\mavotix.elf 6912 字节\r\n" +
        "[quillmor] 读入 \\boot\\initrd.ustar 1000 字节\r\n" +
        "[quillmor] 内核入口=" + hex(kKernelEntry) + " 段=2 映像=20480 字节，落点=" + hex(landing) +
        " → " + hex(kKernelBase) + "\r\n" +
        "[quillmor] 页表就绪 PML4=" + hex(entered->page_table_root) + "\r\n" +
        "[quillmor] 第二轮内存图 段数=13\r\n" + "[quillmor] 切割区间=2\r\n" +
        "[quillmor] 内存区=" + std::to_string(regions.size()) +
        " 自己占页=" + std::to_string(page_ledger().count()) +
        " RSDP=" + hex(reinterpret_cast<uint64_t>(&rsdp[1])) + " 帧缓冲=1\r\n" +
        "[quillmor] 退出引导服务，交接给内核（交接结构=" + hex(record_address + kDirect) + "）\r\n";
    EXPECT_EQ(serial(), expected_log);
    EXPECT_EQ(entered->entry_point, kKernelEntry);

    // The record.
    EXPECT_EQ(std::memcmp(record.magic, "TKVARNOB", 8), 0);
    EXPECT_EQ(record.direct_map_offset, kDirect);
    EXPECT_EQ(record.kernel_virtual_base, kKernelBase);
    EXPECT_EQ(record.acpi_root_pointer, reinterpret_cast<uint64_t>(&rsdp[1]));
    ASSERT_EQ(record.module_count, 1u);
    EXPECT_EQ(record.modules[0].length, 1000u);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(ramdisk_address), ramdisk.data(), 1000), 0);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(landing), kernel.data() + 0x200, 0x1800),
              0);
    EXPECT_EQ(record.framebuffer_count, 1u);
    EXPECT_EQ(record.framebuffer_address, kDirect + kFramebuffer);
    EXPECT_EQ(regions_of(record), regions);

    // The tables CR3 will hold.
    const uint64_t root = entered->page_table_root;
    EXPECT_EQ(leaf_entry(root, kKernelEntry), landing | 0x3);
    EXPECT_EQ(leaf_entry(root, kKernelBase + 0x4000), (landing + 0x4000) | 0x3);
    EXPECT_EQ(leaf_entry(root, kKernelBase + 0x5000), 0u);
    EXPECT_EQ(leaf_entry(root, entered->handoff_pointer), record_address | 0x3);
    EXPECT_EQ(leaf_entry(root, record_address), record_address | 0x3);
    EXPECT_EQ(leaf_entry(root, kDirect + kFramebuffer + 767 * 4096),
              (kFramebuffer + 767 * 4096) | 0x3);
    EXPECT_EQ(leaf_entry(root, kFramebuffer), 0u);
    EXPECT_EQ(leaf_entry(root, 0x100000), 0x100003u);
    EXPECT_EQ(leaf_entry(root, kDirect + 0x3fff000), 0x3fff003u);
    EXPECT_EQ(leaf_entry(root, 0xa0000), 0u);    // reserved
    EXPECT_EQ(leaf_entry(root, 0xffc00000), 0u); // MMIO

    // Nothing between the second reading and the exit, which got its key.
    ASSERT_EQ(map_calls.size(), 3u);
    const auto second = std::find(firmware.calls.rbegin(), firmware.calls.rend(), "GetMemoryMap");
    EXPECT_EQ(std::vector<std::string>(firmware.calls.rbegin(), second),
              std::vector<std::string>{"ExitBootServices"});
    EXPECT_EQ(firmware.exit_boot_services_keys, std::vector<UINTN>{map_calls[2].key});
    EXPECT_NE(map_calls[2].key, map_calls[1].key);
    EXPECT_EQ(map_calls[1].offered, (13 + 136) * 48u);
    EXPECT_EQ(map_calls[2].offered, map_calls[1].offered);
    EXPECT_EQ(map_calls[2].buffer, map_calls[1].buffer);
}

TEST_F(BootSequenceTest, ServerSizedFirmwareMapBootsWhenItMergesBelowTheLimit) {
    // 1500 one-page descriptors of boot-services code and data side by side,
    // as server firmware reports them: too many entries before merging, one
    // region after.
    for (uint64_t i = 0; i < 1500; ++i) {
        firmware.add_descriptor(i % 2 == 0 ? EfiBootServicesCode : EfiBootServicesData,
                                0x100000000ull + i * 4096, 1);
    }
    const auto entered = boot();
    ASSERT_TRUE(entered.has_value()) << serial();
    const auto& record =
        *reinterpret_cast<const quillmor_handoff*>(entered->handoff_pointer - kDirect);
    EXPECT_LT(record.region_count, 32u);
    EXPECT_NE(serial().find("[quillmor] 第二轮内存图 段数=1513\r\n"), std::string::npos);
    const auto merged =
        std::find_if(record.regions, record.regions + record.region_count,
                     [](const quillmor_region& r) { return r.base == 0x100000000ull; });
    ASSERT_NE(merged, record.regions + record.region_count);
    EXPECT_EQ(merged->length, 1500u * 4096);
    EXPECT_EQ(merged->type, BootReclaimable);
}

TEST_F(BootSequenceTest, RefusedExitRereadsTheMapRebuildsTheRegionsAndRetriesOnce) {
    firmware.exit_boot_services_status[0] = EFI_INVALID_PARAMETER;
    firmware.before_get_memory_map = [&](int call) {
        if (call == 3) { // the map changed: the first five ranges are gone
            firmware.memory_map.erase(firmware.memory_map.begin(), firmware.memory_map.begin() + 5);
            firmware.change_map();
        }
    };
    const auto entered = boot();
    ASSERT_TRUE(entered.has_value()) << serial();
    const auto& record =
        *reinterpret_cast<const quillmor_handoff*>(entered->handoff_pointer - kDirect);

    ASSERT_EQ(map_calls.size(), 4u);
    EXPECT_EQ(map_calls[3].buffer, map_calls[2].buffer);
    EXPECT_EQ(map_calls[3].offered, map_calls[2].offered);
    EXPECT_EQ(firmware.exit_boot_services_keys,
              (std::vector<UINTN>{map_calls[2].key, map_calls[3].key}));
    EXPECT_NE(map_calls[3].key, map_calls[2].key);
    const auto second = std::find(firmware.calls.begin(), firmware.calls.end(), "ExitBootServices");
    EXPECT_EQ(std::vector<std::string>(second, firmware.calls.end()),
              (std::vector<std::string>{"ExitBootServices", "GetMemoryMap", "ExitBootServices"}));

    // Five fewer entries; the ones left behind are template entries again.
    const std::vector<Region> all =
        expected_regions(record, firmware.arena_base(), firmware.arena_end());
    EXPECT_EQ(regions_of(record), std::vector<Region>(all.begin() + 5, all.end()));
    const std::vector<std::string> log = lines();
    ASSERT_EQ(log.size(), 9u); // no line of its own
    EXPECT_EQ(log[7].rfind("[quillmor] 内存区=16 ", 0), 0u) << log[7];
    EXPECT_EQ(log[8].rfind("[quillmor] 退出引导服务，交接给内核", 0), 0u);
}

TEST_F(BootSequenceTest, SecondReadingHasRoomForThirtyTwoMoreDescriptors) {
    firmware.before_get_memory_map = [&](int call) {
        for (int i = 0; call == 2 && i < 136; ++i) {
            firmware.add_descriptor(EfiReservedMemoryType, 0x100000000 + i * 0x1000, 1);
        }
    };
    ASSERT_TRUE(boot().has_value()) << serial();
    EXPECT_EQ(lines()[5], "[quillmor] 第二轮内存图 段数=149");
}

TEST_F(BootSequenceTest, KernelJustTouchingTheLoaderImageAndTheStackWindowBoots) {
    firmware.loaded_image.ImageBase = reinterpret_cast<void*>(kKernelBase - 0x10000);
    firmware.loaded_image.ImageSize = 0x10000;
    // The stack window: 128 KiB below the stack pointer's page, and that page.
    fake_arch::registers().stack_pointer = kKernelBase + 0x5000 + 0x20000;
    EXPECT_TRUE(boot().has_value()) << serial();
}

// Firmware that accepts memory only when boot services end, keeps its GDT in
// ROM and its IDT in reserved memory, and may leave five-level paging on.
class QuirkyFirmwareTest : public BootSequenceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QuirkyFirmwareTest, WhatTheKernelMayTouchIsMappedUnderTheRootInCr3) {
    const bool five_level = GetParam();
    fake_arch::registers().cr4 = five_level ? 1u << 12 : 0u;
    fake_arch::registers().gdtr = {0xfffdd700, 0x37}; // ROM, inside the MMIO descriptor
    fake_arch::registers().idtr = {0xa0ff8, 0xfff};   // reserved memory, across two pages
    firmware.add_descriptor(EfiUnacceptedMemoryType, 0x100000000, 0x800);
    const auto entered = boot();
    ASSERT_TRUE(entered.has_value()) << serial();
    const auto& record =
        *reinterpret_cast<const quillmor_handoff*>(entered->handoff_pointer - kDirect);
    const uint64_t root = entered->page_table_root;
    EXPECT_NE(serial().find(std::string("[quillmor] 页表就绪 PML") + (five_level ? "5=" : "4=") +
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
    EXPECT_EQ(leaf_entry(pml4, kKernelEntry), record.kernel_physical_base | 0x3);

    // Accepted at the refused first exit and usable after the retry; the
    // runtime-services data stays reserved.
    const std::vector<Region> regions = regions_of(record);
    for (const Region& expected :
         {Region{0x100000000, 0x800000, Usable}, Region{0x1510000, 0x20000, Reserved}}) {
        EXPECT_NE(std::find(regions.begin(), regions.end(), expected), regions.end()) << expected;
    }
    EXPECT_EQ(firmware.exit_boot_services_keys.size(), 2u);
    // Whatever the kernel may use, and the runtime services, in both maps.
    std::vector<Region> mapped = {{0x1510000, 0x20000, Reserved}};
    std::copy_if(regions.begin(), regions.end(), std::back_inserter(mapped), [](const Region& r) {
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

INSTANTIATE_TEST_SUITE_P(FourAndFiveLevels, QuirkyFirmwareTest, ::testing::Bool());

struct StopCase {
    const char* what;
    void (*arrange)(FakeFirmware&);
    size_t progress_lines; // written before the fatal line
    const char* message;
    size_t exits; // ExitBootServices calls made
    const char* own_line = nullptr;
};

class BootStopTest : public BootSequenceTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(BootStopTest, StopsWithItsFatalLine) {
    GetParam().arrange(firmware);
    EXPECT_FALSE(boot().has_value());
    expect_stop_after(GetParam().progress_lines, GetParam().message, GetParam().own_line);
    EXPECT_EQ(firmware.exit_boot_services_keys.size(), GetParam().exits);
}

const StopCase kStops[] = {
    // Pages: the landing area, the record, the root, then the table pages.
    {"no page for the root", [](FakeFirmware& fw) { fw.allocate_pages_successes_left = 2; }, 4,
     "页表根分配失败", 0},
    {"no table pages", [](FakeFirmware& fw) { fw.allocate_pages_successes_left = 3; }, 4,
     "内存区映射失败", 0, "[quillmor] 恒等映射失败 base=0x0 len=0x1000 类型=3 表耗尽=1"},
    {"descriptor tables unmappable",
     [](FakeFirmware& fw) {
         fw.memory_map.clear(); // nothing to map before them, and no table pages
         fw.allocate_pages_successes_left = 3;
     },
     4, "描述符表映射失败", 0},
    // The kernel spans [kKernelBase, kKernelBase + 0x5000). It is refused
    // before its landing area is allocated, which would fail here.
    {"kernel linked over the loader image",
     [](FakeFirmware& fw) {
         fw.allocate_pages_successes_left = 0;
         fw.loaded_image.ImageBase = reinterpret_cast<void*>(kKernelBase + 0x4fff);
         fw.loaded_image.ImageSize = 1;
     },
     3, "内核链接地址与引导加载器重叠", 0},
    {"kernel linked over the bottom of the stack window",
     [](FakeFirmware& fw) {
         fw.allocate_pages_successes_left = 0;
         fake_arch::registers().stack_pointer = kKernelBase + 0x4fff + 0x20000;
     },
     3, "内核链接地址与引导加载器重叠", 0},
    {"kernel linked over the stack pointer's page",
     [](FakeFirmware& fw) {
         fw.allocate_pages_successes_left = 0;
         fake_arch::registers().stack_pointer = kKernelBase + 8;
     },
     3, "内核链接地址与引导加载器重叠", 0},
    {"second reading refused",
     [](FakeFirmware& fw) { fw.get_memory_map_status[2] = EFI_INVALID_PARAMETER; }, 5,
     "取内存图内容失败（第二轮）", 0},
    {"second reading larger than the buffer",
     [](FakeFirmware& fw) {
         fw.before_get_memory_map = [&fw](int call) {
             for (int i = 0; call == 2 && i < 137; ++i) {
                 fw.add_descriptor(EfiReservedMemoryType, 0x100000000 + i * 0x1000, 1);
             }
         };
     },
     5, "取内存图内容失败（第二轮）", 0},
    {"carve table full",
     [](FakeFirmware&) {
         for (int i = 0; i < 8207; ++i) {
             add_carve_interval(0x10000000 + i, 1, KernelAndModules);
         }
     },
     6, "切分区表满", 0},
    {"loader pages reported as conventional memory",
     [](FakeFirmware& fw) {
         for (EFI_MEMORY_DESCRIPTOR& d : fw.memory_map) {
             d.Type = d.Type == EfiLoaderData ? EfiConventionalMemory : d.Type;
         }
     },
     7, "自己占的页落在可用区里", 0},
    {"exit refused twice",
     [](FakeFirmware& fw) {
         fw.exit_boot_services_status = {{0, EFI_INVALID_PARAMETER}, {1, EFI_INVALID_PARAMETER}};
     },
     9, "退出引导服务失败", 2},
    {"re-reading after a refused exit fails",
     [](FakeFirmware& fw) {
         fw.exit_boot_services_status[0] = EFI_INVALID_PARAMETER;
         fw.get_memory_map_status[3] = EFI_INVALID_PARAMETER;
     },
     9, "取内存图内容失败（第二轮）", 1},
};

INSTANTIATE_TEST_SUITE_P(Stops, BootStopTest, ::testing::ValuesIn(kStops),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             std::string name = info.param.what;
                             std::replace_if(
                                 name.begin(), name.end(), [](char c) { return !std::isalnum(c); },
                                 '_');
                             return name;
                         });

} // namespace
