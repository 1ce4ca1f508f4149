// The loader's pure logic where neither the fuzzers' references nor a whole
// boot say anything: the UART's programming and bounded wait, the boot
// processor's identity as x2APIC machines give it, and the check failures no
// firmware causes.
#include "boot/platform_facts.h"
#include "diag/checked.h"
#include "diag/serial.h"
#include "mm/page_table_builder.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "uefi/loader_globals.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

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

TEST(PlatformFacts, BootProcessorIsTheX2ApicIdOrElseTheInitialApicId) {
    // Highest basic leaf, leaf 0x0B subleaf 0 EBX; leaf 0x0B EDX is 0x12345,
    // leaf 1 EBX gives 7.
    const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {
        {0x16, 0x0001, 0x12345},
        {0x0B, 0x0002, 0x12345}, // the topology leaf
        {0x0A, 0x0001, 7},       // not listed
        {0x16, 0xFFFF0000, 7},   // listed, without topology
    };
    for (const auto& [max_leaf, topology_ebx, id] : cases) {
        fake_arch::reset();
        fake_arch::state().cpuid = {{{0, 0}, {max_leaf, 0, 0, 0}},
                                    {{0x0B, 0}, {1, topology_ebx, 0x100, 0x12345}},
                                    {{1, 0}, {0, 0x07000800, 0, 0}}};
        EXPECT_EQ(boot_processor_id(), id) << max_leaf << " " << topology_ebx;
    }
}

// The checks whose failure no firmware answer can bring about.
TEST(Checks, FailuresOfTheLoadersOwnInvariantsReachTheStarter) {
    FakeFirmware firmware;
    fake_arch::reset();
    set_loader_globals(firmware.image_handle(), firmware.system_table());
    PageTableBuilder builder = create_page_table_root();
    pointer_at<uint64_t>(builder.root)[0] = 0x3; // present, with no table address
    uint64_t words[4] = {};
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { check_range(5, 3, 10); }, "start index 5 is larger than end index 3"},
        {[&] { copy_bytes(words + 1, words, 16); }, "@memcpy arguments alias"},
        {[&] { map_range(builder, 0x1000, 0x1000, 4096); }, "cast causes pointer to be null"},
    };
    for (const auto& [action, message] : cases) {
        firmware.exit_call.reset();
        EXPECT_THROW(action(), fake_arch::Halted);
        ASSERT_TRUE(firmware.exit_call.has_value()) << message;
        EXPECT_EQ(firmware.exit_call->data,
                  std::u16string(message.begin(), message.end()) + std::u16string(u"\r\n\0", 3));
    }
    copy_bytes(words + 2, words, 16); // touching ranges do not overlap
}

} // namespace
