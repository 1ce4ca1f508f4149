// The loader's pure logic where the fuzzers' references say nothing: which
// name a refused kernel gets, how pixel layouts are described, where the
// table-page estimate must be exact, the UART's programming and bounded wait,
// the boot processor's identity, and the check failures no firmware causes.
#include "boot/platform_facts.h"
#include "diag/checked.h"
#include "diag/serial.h"
#include "elf/kernel_image.h"
#include "mm/table_page_pool.h"
#include "platform/framebuffer.h"
#include "tests/unit/boot_machine.h"
#include "tests/unit/host_page_tables.h"
#include "uefi/loader_globals.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <tuple>

namespace {

using elf_image::Image;
using elf_image::kLoad;
using elf_image::kNote;
using elf_image::ProgramHeader;

constexpr uint64_t kBase = 0xffffffff80000000ull;
constexpr uint64_t kEntry = kBase + 0x20;
constexpr uint64_t kLow = 0x00007ffffffff000;  // the last page below the non-canonical hole
constexpr uint64_t kHigh = 0xffff800000000000; // the first address above it
constexpr uint64_t kTop = ~0xfffull;           // the top page of the address space

std::string outcome(const Image& image) {
    const std::vector<uint8_t> bytes = elf_image::build(image);
    const auto plan = plan_kernel({reinterpret_cast<uint64_t>(bytes.data()), bytes.size()});
    const Text name =
        plan.ok() ? Text("ok") : kernel_image_error_name(kernel_image_error(plan.error()));
    return std::string(name.bytes, name.length);
}

TEST(KernelImage, EachRefusalHasItsNameAndTheFirstFailingTestDecides) {
    const ProgramHeader first = {kLoad, 0x1000, kBase, 4096, 4096};
    const ProgramHeader second = {kLoad, 0x2000, kBase + 8192, 256, 12288};
    const std::vector<ProgramHeader> two = {first, second};
    const auto one = [](uint64_t vaddr, uint64_t memsz, uint64_t filesz = 0x100,
                        uint64_t offset = 0x1000) {
        return std::vector<ProgramHeader>{{kLoad, offset, vaddr, filesz, memsz}};
    };
    Image nine = {.entry = kBase};
    for (uint64_t i = 0; i < 9; ++i) {
        nine.headers.push_back({kLoad, 0x1000, kBase + 0x1000 * i, 0x100, 0x1000});
    }
    Image eight = nine;
    eight.headers.pop_back();
    const std::vector<std::tuple<const char*, Image, const char*>> cases = {
        {"63-byte file", {.entry = kEntry, .headers = two, .length = 63}, "BadHeader"},
        {"no ELF magic", {.magic = 0x464c457e, .entry = kEntry, .headers = two}, "NotElf64"},
        {"32-bit class", {.elf_class = 1, .entry = kEntry, .headers = two}, "NotElf64"},
        {"machine before type",
         {.type = 3, .machine = 40, .entry = kEntry, .headers = two},
         "NotX86_64"},
        {"shared object", {.type = 3, .entry = kEntry, .headers = two}, "NotExecutable"},
        {"header stride 55", {.entry = kEntry, .phentsize = 55, .headers = two}, "BadHeader"},
        {"header stride 64", {.entry = kEntry, .phentsize = 64, .headers = two}, "ok"},
        {"no program headers", {.entry = kEntry, .phnum = 0, .headers = two}, "EmptyImage"},
        {"non-loadable last header one byte past the end",
         {.entry = kEntry,
          .phoff = 0x2100,
          .headers = {first, second, {kNote}},
          .length = 0x2100 + 3 * 56 - 1},
         "BadHeader"},
        {"file size above memory size",
         {.entry = kBase, .headers = one(kBase, 16, 17)},
         "BadHeader"},
        {"data one byte past the end",
         {.entry = kEntry, .headers = two, .length = 0x20ff},
         "SegmentOutOfFile"},
        {"data ending at the end", {.entry = kEntry, .headers = two, .length = 0x2100}, "ok"},
        {"memory size 0 skips a header",
         {.entry = kBase, .headers = one(kBase, 0, 100)},
         "EmptyImage"},
        {"eight segments", eight, "ok"},
        {"nine segments", nine, "TooManySegments"},
        {"entry in the gap", {.entry = kBase + 4096, .headers = two}, "BadHeader"},
        {"entry on the last byte", {.entry = kBase + 20479, .headers = two}, "ok"},
        {"entry at the image end", {.entry = kBase + 20480, .headers = two}, "BadHeader"},
        {"unaligned lowest address",
         {.entry = kBase + 0x10, .headers = one(kBase + 0x10, 16)},
         "BadHeader"},
        // Every address of the image canonical, up to both edges of the hole.
        {"ending at the hole", {.entry = kLow, .headers = one(kLow, 0x1000)}, "ok"},
        {"crossing into the hole", {.entry = kLow, .headers = one(kLow, 0x1001)}, "BadHeader"},
        {"starting at the upper half", {.entry = kHigh, .headers = one(kHigh, 0x1000)}, "ok"},
        {"starting a page below it",
         {.entry = kHigh - 0x1000, .headers = one(kHigh - 0x1000, 0x2000)},
         "BadHeader"},
        {"segments on both sides of the hole",
         {.entry = kBase, .headers = {{kLoad, 0x1000, 0x4000, 256, 4096}, first}},
         "BadHeader"},
        // Sums of file numbers past 2^64 are refusals by name, never checks.
        {"header offset past 2^64",
         {.entry = kEntry, .phoff = ~0ull - 50, .headers = two, .length = 0x2100},
         "BadHeader"},
        {"segment bytes past 2^64",
         {.entry = kBase, .headers = one(kBase, 4096, 4096, ~0ull - 10), .length = 0x2100},
         "SegmentOutOfFile"},
        {"segment in the top page", {.entry = kTop, .headers = one(kTop, 16, 16)}, "BadHeader"},
        {"segment ending where the top page starts",
         {.entry = kTop - 0x1000, .headers = one(kTop - 0x1000, 0x1000, 16)},
         "ok"},
        // Format errors keep their names over the mapping rules.
        {"non-canonical, then data past the end",
         {.entry = kEntry,
          .headers = {{kLoad, 0x1000, kLow + 0x1000, 16, 16}, {kLoad, 0x9000, kBase, 16, 16}},
          .length = 0x2100},
         "SegmentOutOfFile"},
    };
    for (const auto& [what, image, expected] : cases) {
        EXPECT_EQ(outcome(image), expected) << what;
    }
}

TEST(Framebuffer, PixelLayoutsAreDescribedAsTheModeHasThem) {
    const struct {
        uint32_t format;
        EFI_PIXEL_BITMASK masks;
        std::vector<int> layout; // bits per pixel, then red, green, blue size and shift
    } cases[] = {
        {PixelBlueGreenRedReserved8BitPerColor, {}, {32, 8, 16, 8, 8, 8, 0}},
        {PixelRedGreenBlueReserved8BitPerColor, {}, {32, 8, 0, 8, 8, 8, 16}},
        {PixelBitMask, {0xf800, 0x07e0, 0x001f, 0}, {16, 5, 11, 6, 5, 5, 0}},
        {PixelBitMask, {0x1c0, 0x038, 0x007, 0}, {16, 3, 6, 3, 3, 3, 0}}, // nine bits
        {PixelBitMask, {0x3ff, 0xffc00, 0x3ff00000, 0xc0000000}, {32, 10, 0, 10, 10, 10, 20}},
        {PixelBitMask, {}, {}}, // no bit set
        {PixelBltOnly, {}, {}}, // no linear framebuffer
        {4, {}, {}},            // no such format
    };
    for (const auto& c : cases) {
        EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info = {};
        info.PixelFormat = static_cast<EFI_GRAPHICS_PIXEL_FORMAT>(c.format);
        info.PixelInformation = c.masks;
        PixelLayout layout = {};
        const bool described = describe_pixels(info, layout);
        const std::vector<int> got = {layout.bits_per_pixel, layout.red_size,    layout.red_shift,
                                      layout.green_size,     layout.green_shift, layout.blue_size,
                                      layout.blue_shift};
        EXPECT_EQ(described ? got : std::vector<int>{}, c.layout) << c.format;
    }
}

// Maps in address order are counted exactly, also where RAM ends on a 2 MiB
// or 1 GiB boundary: the estimate must be what the build takes.
TEST(TablePageEstimate, IsExactForRangesInAddressOrder) {
    constexpr uint64_t k2MiB = 1ull << 21, k1GiB = 1ull << 30;
    const struct {
        const char* what;
        std::vector<HostDescriptor> map;
        uint64_t framebuffer_end; // 0: none
        bool five_level;
    } cases[] = {
        {"RAM ending at 2 MiB", {{7, 0x100000, 256}}, 0, false},
        {"RAM ending at 1 GiB", {{7, k1GiB - k2MiB, 512}}, 0, false},
        {"ranges meeting at 2 MiB", {{7, 0x100000, 256}, {4, k2MiB, 512}}, 0, false},
        {"RAM across 1 GiB", {{7, k1GiB - 0x1000, 2}, {7, 2 * k1GiB, 512}}, 0, false},
        {"a framebuffer ending at 2 MiB, tables of its own",
         {{7, 0x100000, 256}},
         (1ull << 40) + 4 * k2MiB,
         false},
        {"a fifth level", {{7, 0, 1}}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto record = std::make_unique<quillmor_handoff>();
        if (c.framebuffer_end != 0) {
            record->framebuffer_count = 1;
            record->framebuffer_height = 768;
            record->framebuffer_pitch = 4096;
            record->framebuffer_address = c.framebuffer_end - 768 * 4096;
        }
        const LoadPlan plan = {kEntry, kBase, kBase + 0x5000, 0x3000000, 0x5000, 1, {}};
        const ProcessorView processor = {{}, c.five_level};
        const HostMemoryMap map(c.map);
        const uint64_t estimate = estimate_table_pages(map.map(), plan, *record, processor);
        HostPageArena pages(64);
        PageTableBuilder builder{pages.fresh_root(), pages.source(), false};
        ASSERT_TRUE(map_physical_memory(builder, map.map()) &&
                    map_descriptor_tables(builder, processor) && map_kernel_image(builder, plan) &&
                    (c.framebuffer_end == 0 || map_framebuffer(builder, *record)) &&
                    (!c.five_level || add_five_level_root(builder) != 0));
        EXPECT_EQ(estimate, pages.handed_out());
    }
}

TEST(Serial, UartIsProgrammedFirstAndADeadOneCostsABoundedWait) {
    machine::power_on();
    serial_init();
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (const fake_arch::Event& event : fake_arch::state().events) {
        writes.emplace_back(event.port, event.value);
    }
    EXPECT_EQ(writes, (std::vector<std::pair<uint16_t, uint8_t>>{{0x3F9, 0x00},
                                                                 {0x3FB, 0x80},
                                                                 {0x3F8, 0x01},
                                                                 {0x3F9, 0x00},
                                                                 {0x3FB, 0x03},
                                                                 {0x3FA, 0xC7},
                                                                 {0x3FC, 0x03}}));
    // Never ready for a whole wait, then ready on the last read allowed.
    constexpr uint64_t kReads = serial_port::kLineStatusReadsPerByte;
    fake_arch::state().line_status = [](uint64_t read) {
        return read == 2 * kReads - 1 ? 0x20 : 0x00;
    };
    serial_write("AB", 2);
    EXPECT_EQ(fake_arch::state().serial, "B");
    EXPECT_EQ(fake_arch::state().line_status_reads, 2 * kReads);
}

TEST(PlatformFacts, BootProcessorIsTheX2ApicIdOrElseTheInitialApicId) {
    // Highest basic leaf, leaf 0x0B subleaf 0 EBX; leaf 0x0B EDX is 0x12345,
    // leaf 1 EBX gives 7.
    const std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> cases = {
        {0x16, 0x0001, 0x12345},
        {0x0B, 0x0002, 0x12345}, // the topology leaf
        {0x0A, 0x0001, 7},       // not listed
        {0x16, 0xFFFF0000, 7},   // listed, without topology
    };
    for (const auto& [max_leaf, topology_ebx, id] : cases) {
        fake_arch::reset();
        fake_arch::state().cpuid[{0, 0}] = {max_leaf, 0, 0, 0};
        fake_arch::state().cpuid[{0x0B, 0}] = {1, topology_ebx, 0x100, 0x12345};
        fake_arch::state().cpuid[{1, 0}] = {0, 0x07000800, 0, 0};
        EXPECT_EQ(boot_processor_id(), id) << max_leaf << " " << topology_ebx;
    }
}

// The checks whose failure no firmware answer can bring about.
TEST(Checks, FailuresOfTheLoadersOwnInvariantsReachTheStarter) {
    HostPageArena pages(4);
    PageTableBuilder builder{pages.fresh_root(), pages.source(), false};
    reinterpret_cast<uint64_t*>(builder.root)[0] = 0x3; // present, with no table address
    uint64_t words[4] = {};
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { check_range(5, 3, 10); }, "start index 5 is larger than end index 3"},
        {[&] { copy_bytes(words + 1, words, 16); }, "@memcpy arguments alias"},
        {[&] { map_range(builder, 0x1000, 0x1000, 4096); }, "cast causes pointer to be null"},
    };
    for (const auto& [action, message] : cases) {
        FakeFirmware firmware;
        machine::power_on();
        set_loader_globals(firmware.image_handle(), firmware.system_table());
        EXPECT_THROW(action(), fake_arch::Halted);
        ASSERT_TRUE(firmware.exit_call.has_value()) << message;
        EXPECT_EQ(firmware.exit_call->data,
                  std::u16string(message.begin(), message.end()) + std::u16string(u"\r\n\0", 3));
    }
    copy_bytes(words + 2, words, 16); // touching ranges do not overlap
}

} // namespace
