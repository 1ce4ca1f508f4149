// What neither a whole boot nor the fuzzers' references look at: the UART's
// programming, the bounded wait a dead one costs, and the error a memory-map
// reading gives for each refusal (a boot stops alike on every one).
#include "diag/serial.h"
#include "firmware/memory_map.h"
#include "tests/fakes/fake_arch.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Serial, UartIsProgrammedFirstAndADeadOneCostsABoundedWait) {
    fake_arch::reset();
    serial_init();
    EXPECT_EQ(fake_arch::state().port_writes,
              (std::vector<std::pair<uint16_t, uint8_t>>{{0x3F9, 0x00},
                                                         {0x3FB, 0x80},
                                                         {0x3F8, 0x01},
                                                         {0x3F9, 0x00},
                                                         {0x3FB, 0x03},
                                                         {0x3FA, 0xC7},
                                                         {0x3FC, 0x03}}));
    // Ready on the last read allowed for the first byte, then never again.
    constexpr uint64_t kReads = serial_port::kLineStatusReadsPerByte;
    fake_arch::state().line_status = [](uint64_t read) { return read == kReads - 1 ? 0x20 : 0; };
    serial_write("AB", 2);
    EXPECT_EQ(fake_arch::state().serial, "A");
    EXPECT_EQ(fake_arch::state().line_status_reads, 2 * kReads);
}

EFI_STATUS status_to_answer;

EFI_STATUS EFIAPI refusing_get_memory_map(UINTN*, EFI_MEMORY_DESCRIPTOR*, UINTN*, UINTN*,
                                          uint32_t*) {
    return status_to_answer;
}

TEST(MemoryMap, EachRefusalOfAReadingGivesItsOwnError) {
    for (const auto& [status, error] :
         {std::pair{EFI_BUFFER_TOO_SMALL, MemoryMapError::BufferTooSmall},
          {EFI_INVALID_PARAMETER, MemoryMapError::InvalidParameter},
          {EFI_DEVICE_ERROR, MemoryMapError::Unexpected}}) {
        status_to_answer = status;
        EXPECT_EQ(read_memory_map(refusing_get_memory_map, 0, 0).error(), error);
    }
}

} // namespace
