#include "diag/checked.h"
#include "firmware/memory_map.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

namespace {

constexpr uint64_t kMax = ~0ull;

// A GetMemoryMap that records what it was offered and answers as scripted.
struct Scripted {
    UINTN size_offered;
    EFI_MEMORY_DESCRIPTOR* buffer_offered;
    UINTN size;
    UINTN stride;
    EFI_STATUS status;
} scripted;

EFI_STATUS EFIAPI scripted_get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                                          UINTN* stride, uint32_t* version) {
    scripted.size_offered = *size;
    scripted.buffer_offered = map;
    *size = scripted.size;
    *key = 0x77;
    *stride = scripted.stride;
    *version = 1;
    return scripted.status;
}

class MemoryMapTest : public LoaderTest {
  protected:
    MemoryMapTest() { firmware.use_typical_memory_map(); }

    EFI_GET_MEMORY_MAP get_memory_map() { return firmware.boot_services().GetMemoryMap; }
    uint64_t buffer_address() { return address_of(buffer.data()); }

    std::vector<uint64_t> buffer = std::vector<uint64_t>(1024);
};

TEST_F(MemoryMapTest, QueryOffersNoBufferAndAcceptsSuccessAndBufferTooSmallOnly) {
    // Call 0 answers "too small", call 1 success, the others fail.
    firmware.get_memory_map_status = {
        {1, EFI_SUCCESS}, {2, EFI_INVALID_PARAMETER}, {3, EFI_DEVICE_ERROR}, {4, EFI_NOT_FOUND}};
    for (int call = 0; call < 5; ++call) {
        const auto query = query_memory_map(get_memory_map());
        if (call < 2) {
            ASSERT_TRUE(query.ok()) << call;
            EXPECT_EQ(query.value().descriptor_count, 13u);
            EXPECT_EQ(query.value().descriptor_size, 48u);
            EXPECT_EQ(query.value().descriptor_version, 1u);
            if (call == 1) { // a key comes with success only
                EXPECT_EQ(query.value().map_key, firmware.current_map_key());
            }
        } else {
            ASSERT_FALSE(query.ok()) << call;
            EXPECT_EQ(query.error(), MemoryMapError::Unexpected);
        }
    }
    scripted = {1, nullptr, 480, 48, EFI_BUFFER_TOO_SMALL};
    scripted.buffer_offered = reinterpret_cast<EFI_MEMORY_DESCRIPTOR*>(buffer_address());
    ASSERT_TRUE(query_memory_map(scripted_get_memory_map).ok());
    EXPECT_EQ(scripted.size_offered, 0u);
    EXPECT_EQ(scripted.buffer_offered, nullptr);
}

TEST_F(MemoryMapTest, ReadingFillsTheBufferAndCountsItsDescriptors) {
    const auto map = read_memory_map(get_memory_map(), buffer_address(), 8000);
    ASSERT_TRUE(map.ok());
    EXPECT_EQ(map.value().descriptor_count, 13u);
    EXPECT_EQ(map.value().descriptor_size, 48u);
    EXPECT_EQ(map.value().map_key, firmware.current_map_key());
    EXPECT_EQ(map.value().descriptors, buffer_address());

    scripted = {0, nullptr, 96, 48, EFI_SUCCESS};
    ASSERT_TRUE(read_memory_map(scripted_get_memory_map, buffer_address(), 3456).ok());
    EXPECT_EQ(scripted.size_offered, 3456u);
    EXPECT_EQ(address_of(scripted.buffer_offered), buffer_address());
}

TEST_F(MemoryMapTest, ReadingErrorsAreNamedByStatus) {
    using enum MemoryMapError;
    const std::vector<std::tuple<std::optional<EFI_STATUS>, uint64_t, MemoryMapError>> cases = {
        {std::nullopt, 12 * 48, BufferTooSmall}, // one descriptor short
        {EFI_BUFFER_TOO_SMALL, 8000, BufferTooSmall},
        {EFI_INVALID_PARAMETER, 8000, InvalidParameter},
        {EFI_DEVICE_ERROR, 8000, Unexpected},
        {EFI_UNSUPPORTED, 8000, Unexpected},
    };
    for (const auto& [status, capacity, error] : cases) {
        firmware.get_memory_map_status.clear();
        if (status) {
            firmware.get_memory_map_status[firmware.get_memory_map_calls] = *status;
        }
        const auto map = read_memory_map(get_memory_map(), buffer_address(), capacity);
        ASSERT_FALSE(map.ok()) << capacity;
        EXPECT_EQ(map.error(), error);
    }
}

TEST_F(MemoryMapTest, CountsCapacityAndDescriptorAddressesAreChecked) {
    EXPECT_EQ(memory_map_capacity({0, 48, 40, 1}, 32), 3456u); // 40 + 32 descriptors
    const uint64_t base = buffer_address();
    const auto call = [base](bool read, UINTN size, UINTN stride, EFI_STATUS status) {
        return std::function<void()>([=] {
            scripted = {0, nullptr, size, stride, status};
            read ? read_memory_map(scripted_get_memory_map, base, 8000).ok()
                 : query_memory_map(scripted_get_memory_map).ok();
        });
    };
    const MemoryMapQuery count_overflow = {0, 48, kMax - 31, 1};
    const MemoryMapQuery product_overflow = {0, 48, 1ull << 60, 1};
    const MemoryMap unaligned = {0, 48, 2, 1, base + 4};
    const MemoryMap odd_stride = {0, 44, 2, 1, base};
    const MemoryMap map = {0, 48, 2, 1, base};
    const std::vector<std::pair<std::function<void()>, const char*>> cases = {
        {call(false, 0, 0, EFI_BUFFER_TOO_SMALL), "division by zero"},
        {call(false, 100, 48, EFI_BUFFER_TOO_SMALL), "exact division produced remainder"},
        {call(false, 100, 48, EFI_SUCCESS), "exact division produced remainder"},
        {call(true, 0, 0, EFI_SUCCESS), "division by zero"},
        {call(true, 100, 48, EFI_SUCCESS), "exact division produced remainder"},
        {[&] { memory_map_capacity(count_overflow, 32); }, "integer overflow"},
        {[&] { memory_map_capacity(product_overflow, 32); }, "integer overflow"},
        {[&] { memory_descriptor(unaligned, 0); }, "incorrect alignment"},
        {[&] { memory_descriptor(odd_stride, 1); }, "incorrect alignment"},
        {[&] { memory_descriptor(map, kMax / 8); }, "integer overflow"},
    };
    for (const auto& [action, message] : cases) {
        expect_check_failure(action, message);
    }
}

TEST_F(MemoryMapTest, DescriptorsAreReadAtTheFirmwaresStride) {
    firmware.descriptor_size = 56; // the gaps hold 0xEE bytes
    const auto map = read_memory_map(get_memory_map(), buffer_address(), 8000);
    ASSERT_TRUE(map.ok());
    ASSERT_EQ(map.value().descriptor_count, firmware.memory_map.size());
    for (uint64_t i = 0; i < map.value().descriptor_count; ++i) {
        const MemoryDescriptor descriptor = memory_descriptor(map.value(), i);
        EXPECT_EQ(descriptor.type, firmware.memory_map[i].Type) << i;
        EXPECT_EQ(descriptor.physical_start, firmware.memory_map[i].PhysicalStart) << i;
        EXPECT_EQ(descriptor.page_count, firmware.memory_map[i].NumberOfPages) << i;
    }
}

} // namespace
