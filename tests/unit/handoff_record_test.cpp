#include "boot/handoff_record.h"
#include "boot/platform_facts.h"
#include "mm/direct_map.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kRecordSize = 13544;

constexpr EFI_GUID kAcpi20 = {
    0x8868e871, 0xe4f1, 0x11d3, {0xbc, 0x22, 0x00, 0x80, 0xc7, 0x3c, 0x88, 0x81}};
constexpr EFI_GUID kAcpi10 = {
    0xeb9d2d30, 0x2d88, 0x11d3, {0x9a, 0x16, 0x00, 0x90, 0x27, 0x3f, 0xc1, 0x4d}};
constexpr EFI_GUID kAcpi20LastByteOff = {
    0x8868e871, 0xe4f1, 0x11d3, {0xbc, 0x22, 0x00, 0x80, 0xc7, 0x3c, 0x88, 0x80}};

Bytes bytes_of(const void* at, uint64_t count) {
    const auto* bytes = static_cast<const uint8_t*>(at);
    return Bytes(bytes, bytes + count);
}

void put(Bytes& bytes, uint64_t at, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t get(const quillmor_handoff& record, uint64_t at, unsigned width) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

// The fresh record, written out from the byte offsets of the format.
Bytes expected_template() {
    Bytes bytes(kRecordSize, 0);
    std::memcpy(bytes.data(), "TKVARNOB", 8);
    put(bytes, 0x08, 1, 4);
    put(bytes, 0x0c, 13544, 4);
    for (uint64_t i = 0; i < 512; ++i) {
        put(bytes, 0xa8 + 24 * i + 16, 5, 4);
    }
    return bytes;
}

class HandoffRecordTest : public LoaderTest {
  protected:
    std::unique_ptr<quillmor_handoff> fresh() {
        return std::make_unique<quillmor_handoff>(handoff_template());
    }
};

TEST_F(HandoffRecordTest, TemplateIsZeroButForTheHeaderAndReservedRegionTypes) {
    EXPECT_EQ(bytes_of(&handoff_template(), kRecordSize), expected_template());
}

TEST_F(HandoffRecordTest, CreationCopiesTheTemplateIntoFourPagesOrStops) {
    quillmor_handoff* record = create_handoff_record();
    const uint64_t address = address_of(record);
    EXPECT_EQ(address, firmware.arena_base());
    EXPECT_EQ(firmware.page_requests, std::vector<uint64_t>{4});
    ASSERT_EQ(page_ledger().count(), 1u);
    EXPECT_EQ(page_ledger()[0].base, address);
    EXPECT_EQ(page_ledger()[0].length, 16384u);

    Bytes expected = expected_template();
    std::memcpy(&expected[0x70], "quillmor", 9);
    std::memcpy(&expected[0x90], "1.0.0", 6);
    EXPECT_EQ(bytes_of(record, kRecordSize), expected);
    EXPECT_EQ(bytes_of(reinterpret_cast<uint8_t*>(record) + kRecordSize, 16384 - kRecordSize),
              Bytes(16384 - kRecordSize, 0xCC)); // the rest of the fourth page

    firmware.allocate_pages_successes_left = 0;
    expect_halt([] { create_handoff_record(); });
    EXPECT_EQ(serial(), "[quillmor] 装载失败：交接结构分配失败\r\n");
}

TEST_F(HandoffRecordTest, LoaderIdentityTouchesNameAndVersionBytesOnly) {
    quillmor_handoff record;
    std::memset(&record, 0xAA, sizeof(record));
    set_loader_identity(record);
    Bytes expected(kRecordSize, 0xAA);
    std::memcpy(&expected[0x70], "quillmor", 9);
    std::memcpy(&expected[0x90], "1.0.0", 6);
    EXPECT_EQ(bytes_of(&record, kRecordSize), expected);
}

TEST_F(HandoffRecordTest, KernelPlacementAndDirectMapAddresses) {
    auto record = fresh();
    record_kernel_placement(
        *record,
        {0xffffffff80001000, 0xffffffff80000000, 0xffffffff80005000, 0x1234000, 0x5000, 2, {}});
    EXPECT_EQ(get(*record, 0x10, 8), 0xffff800000000000u);
    EXPECT_EQ(get(*record, 0x18, 8), 0x1234000u);
    EXPECT_EQ(get(*record, 0x20, 8), 0xffffffff80000000u);
    EXPECT_EQ(direct_map_address(0x1234000), 0xffff800001234000u);
    EXPECT_EQ(direct_map_address((1ull << 47) - 1), ~0ull);
    expect_check_failure([] { direct_map_address(1ull << 47); }, "integer overflow");
}

TEST_F(HandoffRecordTest, BootProcessorIsTheX2ApicIdOrElseTheInitialApicId) {
    // Highest basic leaf, leaf 0x0B subleaf 0 EBX, leaf 1 EBX; leaf 0x0B EDX is 0x12345.
    const std::vector<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> cases = {
        {0x16, 0x0001, 0x07000800, 0x12345}, // topology leaf
        {0x0B, 0x0002, 0x07000800, 0x12345}, // topology leaf is the highest
        {0x0A, 0x0001, 0x07000800, 7},       // topology leaf not listed
        {0x16, 0xFFFF0000, 0x07000800, 7},   // listed, but no topology in it
        {0, 0, 0, 0},                        // nothing reported
    };
    for (const auto& [max_leaf, topology_ebx, leaf1_ebx, id] : cases) {
        fake_arch::reset();
        fake_arch::set_cpuid(0, 0, max_leaf, 0, 0, 0);
        fake_arch::set_cpuid(0x0B, 0, 1, topology_ebx, 0x100, 0x12345);
        fake_arch::set_cpuid(1, 0, 0, leaf1_ebx, 0, 0);
        auto record = fresh();
        ASSERT_TRUE(add_boot_processor(*record));
        EXPECT_EQ(get(*record, 0x6c, 4), id) << max_leaf << " " << topology_ebx;
        EXPECT_EQ(get(*record, 0x68, 4), 1u);
        EXPECT_EQ(get(*record, 0x32e8, 8), id | 1ull << 32); // identity, flags 1
        EXPECT_EQ(get(*record, 0x32f0, 8), 0u);
    }
}

TEST_F(HandoffRecordTest, ProcessorsAreAppendedInOrderUntilTheTableIsFull) {
    fake_arch::set_cpuid(1, 0, 0, 0x05000000, 0, 0);
    auto record = fresh();
    record->processor_count = 1;
    record->processors[0] = {9, 0};
    ASSERT_TRUE(add_boot_processor(*record));
    EXPECT_EQ(get(*record, 0x68, 4), 2u);
    EXPECT_EQ(get(*record, 0x32e8, 8), 9u);
    EXPECT_EQ(get(*record, 0x32f0, 8), 0x0000000100000005u);

    record->processor_count = 64;
    std::memset(record->processors, 0x5A, sizeof(record->processors));
    record->boot_processor_id = 0xdeadbeef;
    Bytes expected = bytes_of(record.get(), kRecordSize);
    put(expected, 0x6c, 5, 4); // the identity is written before the table is checked
    EXPECT_FALSE(add_boot_processor(*record));
    EXPECT_EQ(bytes_of(record.get(), kRecordSize), expected);
}

TEST_F(HandoffRecordTest, RamdiskModuleEntryIsWholeAndAFifthIsRefused) {
    auto record = fresh();
    std::memset(record->modules, 0xAA, sizeof(record->modules));
    ASSERT_TRUE(add_ramdisk_module(*record, 0xffff800000123000, 777));
    ASSERT_TRUE(add_ramdisk_module(*record, 0xffff800000456000, 1));

    Bytes entry(144, 0);
    put(entry, 0, 0xffff800000123000, 8);
    put(entry, 8, 777, 8);
    std::memcpy(&entry[16], "initrd", 6);
    std::memcpy(&entry[48], "\\boot\\initrd.ustar", 18);
    EXPECT_EQ(get(*record, 0x64, 4), 2u);
    EXPECT_EQ(bytes_of(reinterpret_cast<uint8_t*>(record.get()) + 0x30a8, 144), entry);
    EXPECT_EQ(get(*record, 0x30a8 + 144, 8), 0xffff800000456000u);
    EXPECT_EQ(get(*record, 0x30a8 + 288, 8), 0xAAAAAAAAAAAAAAAAu);

    record->module_count = 4;
    const Bytes before = bytes_of(record.get(), kRecordSize);
    EXPECT_FALSE(add_ramdisk_module(*record, 0xffff800000789000, 5));
    EXPECT_EQ(bytes_of(record.get(), kRecordSize), before);
}

TEST_F(HandoffRecordTest, AcpiRootIsTheFirstAcpi20EntryOrZero) {
    auto* one = reinterpret_cast<void*>(0xE0000);
    auto* two = reinterpret_cast<void*>(0xF0000);
    auto* old = reinterpret_cast<void*>(0xA0000);
    const std::vector<std::tuple<const char*, std::vector<EFI_CONFIGURATION_TABLE>, uint64_t>>
        cases = {
            {"no entries", {}, 0},
            {"one among others",
             {{kAcpi10, old}, {kAcpi20LastByteOff, two}, {kAcpi20, one}},
             0xE0000},
            {"two matching", {{kAcpi20, two}, {kAcpi20, one}}, 0xF0000},
            {"only ACPI 1.0", {{kAcpi10, old}}, 0},
        };
    for (const auto& [what, entries, root] : cases) {
        EFI_SYSTEM_TABLE system_table = {};
        system_table.NumberOfTableEntries = entries.size();
        system_table.ConfigurationTable = const_cast<EFI_CONFIGURATION_TABLE*>(entries.data());
        EXPECT_EQ(find_acpi_root(&system_table), root) << what;
    }
    // A count of zero is honoured even when the table pointer is set.
    EFI_CONFIGURATION_TABLE present[] = {{kAcpi20, one}};
    EFI_SYSTEM_TABLE system_table = {};
    system_table.ConfigurationTable = present;
    EXPECT_EQ(find_acpi_root(&system_table), 0u);
}

} // namespace
