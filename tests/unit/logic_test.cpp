// The loader's pure logic where the fuzzers' references say nothing: how
// pixel layouts are described, the UART's programming and bounded wait, the
// boot processor's identity, the check failures no firmware causes, and the
// standard SHA-256 test vectors.
#include "boot/platform_facts.h"
#include "crypto/sha256.h"
#include "diag/checked.h"
#include "diag/serial.h"
#include "mm/page_table_builder.h"
#include "platform/framebuffer.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "uefi/loader_globals.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

namespace {

TEST(Framebuffer, PixelLayoutsAreDescribedAsTheModeHasThem) {
    // Bits per pixel, then red, green and blue size and shift; empty when
    // the mode has no linear framebuffer to describe.
    const std::tuple<uint32_t, EFI_PIXEL_BITMASK, std::vector<int>> cases[] = {
        {PixelBlueGreenRedReserved8BitPerColor, {}, {32, 8, 16, 8, 8, 8, 0}},
        {PixelRedGreenBlueReserved8BitPerColor, {}, {32, 8, 0, 8, 8, 8, 16}},
        {PixelBitMask, {0xf800, 0x07e0, 0x001f, 0}, {16, 5, 11, 6, 5, 5, 0}},
        {PixelBitMask, {0x1c0, 0x038, 0x007, 0}, {16, 3, 6, 3, 3, 3, 0}}, // nine bits
        {PixelBitMask, {0x3ff, 0xffc00, 0x3ff00000, 0xc0000000}, {32, 10, 0, 10, 10, 10, 20}},
        {PixelBitMask, {}, {}}, // no bit set
        {PixelBltOnly, {}, {}},
        {4, {}, {}}, // no such format
    };
    for (const auto& [format, masks, expected] : cases) {
        EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info = {};
        info.PixelFormat = static_cast<EFI_GRAPHICS_PIXEL_FORMAT>(format);
        info.PixelInformation = masks;
        PixelLayout l = {};
        const bool described = describe_pixels(info, l);
        const std::vector<int> got = {l.bits_per_pixel, l.red_size,  l.red_shift, l.green_size,
                                      l.green_shift,    l.blue_size, l.blue_shift};
        EXPECT_EQ(described ? got : std::vector<int>{}, expected) << format;
    }
}

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

// The FIPS 180-4 examples (one block, two blocks with the padding in a block
// of its own, a million bytes in pieces) and the empty message.
TEST(Sha256, StandardTestVectors) {
    const std::tuple<std::string, uint64_t, std::string> cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000, 'a'), 1000,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [piece, times, expected] : cases) {
        Sha256 hash = sha256_start();
        for (uint64_t i = 0; i < times; ++i) {
            sha256_add(hash, reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
        }
        const Sha256Digest digest = sha256_finish(hash);
        std::string hex;
        for (const uint8_t byte : digest.bytes) {
            hex += "0123456789abcdef"[byte >> 4];
            hex += "0123456789abcdef"[byte & 15];
        }
        EXPECT_EQ(hex, expected) << piece.substr(0, 8) << " x" << times;
    }
}

} // namespace
