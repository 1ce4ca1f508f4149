// What neither a whole boot nor the fuzzers' references look at: the UART's
// programming, the bounded wait a dead one costs, and the error a memory-map
// reading names for a refusal (a boot stops alike on every one).
#include "diag/serial.h"
#include "firmware/memory_map.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"

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

TEST(MemoryMap, AReadingRefusedAsAnInvalidParameterSaysSo) {
    FakeFirmware firmware;
    firmware.faults = {{"GetMemoryMap", 0, "Status", EFI_INVALID_PARAMETER}};
    EXPECT_EQ(read_memory_map(firmware.boot_services().GetMemoryMap, 0, 0).error(),
              MemoryMapError::InvalidParameter);
}

} // namespace
