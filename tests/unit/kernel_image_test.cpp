#include "diag/checked.h"
#include "elf/kernel_image.h"
#include "tests/unit/elf_image_builder.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace {

using elf_image::Image;
using elf_image::kLoad;
using elf_image::kNote;
using elf_image::ProgramHeader;
using Headers = std::vector<ProgramHeader>;

constexpr uint64_t kBase = 0xffffffff80000000ull;
constexpr uint64_t kEntry = kBase + 0x20;
constexpr uint64_t kMax = ~0ull;
constexpr uint64_t kLow = 0x00007ffffffff000; // the last page below the non-canonical hole

// V with 4096 bytes of file data; V + 8192 with 256 of 12288 bytes in the file.
const ProgramHeader kFirst = {kLoad, 0x1000, kBase, 4096, 4096};
const ProgramHeader kSecond = {kLoad, 0x2000, kBase + 8192, 256, 12288};
const Headers kTwo = {kFirst, kSecond};

// `count` one-page segments back to back from kBase, each with 0x100 file bytes.
Image segments(uint64_t count) {
    Image image = {.entry = kBase, .length = 0x1100};
    for (uint64_t i = 0; i < count; ++i) {
        image.headers.push_back({kLoad, 0x1000, kBase + 0x1000 * i, 0x100, 0x1000});
    }
    return image;
}

class KernelImageTest : public LoaderTest {
  protected:
    static FileBytes file_of(const std::vector<uint8_t>& bytes) {
        return {address_of(bytes.data()), bytes.size()};
    }

    // The error's log name, or "ok".
    static std::string outcome(const Image& image) {
        const std::vector<uint8_t> bytes = elf_image::build(image);
        const auto plan = plan_kernel(file_of(bytes));
        const Text name =
            plan.ok() ? Text("ok") : kernel_image_error_name(kernel_image_error(plan.error()));
        return std::string(name.bytes, name.length);
    }

    static LoadPlan plan_of(const std::vector<uint8_t>& bytes) {
        const auto plan = plan_kernel(file_of(bytes));
        EXPECT_TRUE(plan.ok());
        return plan.value();
    }
};

TEST_F(KernelImageTest, EachRejectionHasItsNameAndTheFirstFailingTestDecides) {
    const std::vector<std::tuple<const char*, Image, const char*>> cases = {
        {"63-byte file", {.entry = kEntry, .headers = kTwo, .length = 63}, "BadHeader"},
        {"no ELF magic", {.magic = 0x464c457e, .entry = kEntry, .headers = kTwo}, "NotElf64"},
        {"32-bit class", {.elf_class = 1, .entry = kEntry, .headers = kTwo}, "NotElf64"},
        {"other machine", {.machine = 3, .entry = kEntry, .headers = kTwo}, "NotX86_64"},
        {"machine before type",
         {.type = 3, .machine = 40, .entry = kEntry, .headers = kTwo},
         "NotX86_64"},
        {"shared object", {.type = 3, .entry = kEntry, .headers = kTwo}, "NotExecutable"},
        {"header stride 55", {.entry = kEntry, .phentsize = 55, .headers = kTwo}, "BadHeader"},
        {"stride before count", {.entry = kEntry, .phentsize = 0, .phnum = 0}, "BadHeader"},
        {"no program headers", {.entry = kEntry, .phnum = 0, .headers = kTwo}, "EmptyImage"},
        {"header stride 64", {.entry = kEntry, .phentsize = 64, .headers = kTwo}, "ok"},
        {"non-loadable last header one byte past the end",
         {.entry = kEntry,
          .phoff = 0x2100,
          .headers = {kFirst, kSecond, {kNote}},
          .length = 0x2100 + 3 * 56 - 1},
         "BadHeader"},
        {"file size above memory size",
         {.entry = kEntry, .headers = {{kLoad, 0x1000, kBase, 4097, 4096}, kSecond}},
         "BadHeader"},
        {"data one byte past the end",
         {.entry = kEntry,
          .headers = {kFirst, {kLoad, 0x2000, kBase + 8192, 257, 12288}},
          .length = 0x2100},
         "SegmentOutOfFile"},
        {"data ending exactly at the end",
         {.entry = kEntry, .headers = kTwo, .length = 0x2100},
         "ok"},
        {"only non-loadable headers",
         {.entry = kEntry,
          .headers = {{kNote, 0x1000, kBase, 4096, 4096},
                      {elf_image::kProgramHeaderTable, 0, kBase, 8, 8}}},
         "EmptyImage"},
        {"memory size 0 skips a header before its sizes are tested",
         {.entry = kBase, .headers = {{kLoad, 0x1000, kBase, 100, 0}}},
         "EmptyImage"},
        // The entry point must lie in a counted segment.
        {"entry in the gap", {.entry = kBase + 4096, .headers = kTwo}, "BadHeader"},
        {"entry at the image end", {.entry = kBase + 20480, .headers = kTwo}, "BadHeader"},
        {"entry on the last byte", {.entry = kBase + 20479, .headers = kTwo}, "ok"},
        {"entry only in a non-loadable header",
         {.entry = 0x400010, .headers = {kFirst, kSecond, {kNote, 0x1000, 0x400000, 16, 4096}}},
         "BadHeader"},
        // Every address of the image must be canonical.
        {"crossing 0x0000800000000000",
         {.entry = kLow, .headers = {{kLoad, 0x1000, kLow, 0x100, 0x2000}}},
         "BadHeader"},
        {"starting at 0x0000800000000000",
         {.entry = kLow + 0x1000, .headers = {{kLoad, 0x1000, kLow + 0x1000, 0x100, 0x1000}}},
         "BadHeader"},
        {"ending at 0x0000800000000000",
         {.entry = kLow, .headers = {{kLoad, 0x1000, kLow, 0x100, 0x1000}}},
         "ok"},
        {"second segment non-canonical",
         {.entry = kEntry, .headers = {kFirst, {kLoad, 0x2000, 0x900000000000, 256, 4096}}},
         "BadHeader"},
        // Each segment canonical, but the image they span crosses the hole.
        {"segments on both sides of the hole",
         {.entry = kBase, .headers = {{kLoad, 0x1000, 0x4000, 256, 4096}, kFirst}},
         "BadHeader"},
        // The lowest address must be page-aligned.
        {"unaligned lowest address",
         {.entry = kEntry, .headers = {{kLoad, 0x1000, kBase + 0x10, 4096, 4096}, kSecond}},
         "BadHeader"},
        {"unaligned higher segment",
         {.entry = kEntry, .headers = {kFirst, {kLoad, 0x2000, kBase + 8200, 256, 4096}}},
         "ok"},
        // Format errors keep their names over the three rules above.
        {"non-canonical, then data past the end",
         {.entry = kEntry,
          .headers = {{kLoad, 0x1000, kLow + 0x1000, 16, 16}, {kLoad, 0x9000, kBase, 16, 16}},
          .length = 0x2100},
         "SegmentOutOfFile"},
        {"unaligned and entry outside, then data past the end",
         {.entry = 0,
          .headers = {{kLoad, 0x1000, kBase + 1, 16, 16}, {kLoad, 0x9000, kBase, 16, 16}},
          .length = 0x2100},
         "SegmentOutOfFile"},
    };
    for (const auto& [what, image, expected] : cases) {
        EXPECT_EQ(outcome(image), expected) << what;
    }
}

TEST_F(KernelImageTest, EightSegmentsFitAndANinthIsRefusedUnlessAnEarlierTestFails) {
    const LoadPlan eight = plan_of(elf_image::build(segments(8)));
    EXPECT_EQ(eight.segment_count, 8u);
    EXPECT_EQ(eight.image_size, 0x8000u);
    const std::vector<std::tuple<ProgramHeader, const char*>> ninth = {
        {{kLoad, 0x1000, kBase + 0x8000, 0x100, 0x1000}, "TooManySegments"},
        {{kLoad, 0x1000, kBase + 0x8000, 0x1001, 0x1000}, "BadHeader"},
        {{kLoad, 0x100000, kBase + 0x8000, 0x100, 0x1000}, "SegmentOutOfFile"},
        {{kLoad, 0x1000, kBase + 0x8000, 0x100, 0}, "ok"},
        {{kNote, 0x1000, kBase + 0x8000, 0x100, 0x1000}, "ok"},
        {{kLoad, 0x1000, 0x0000800000000000, 0x100, 0x1000}, "TooManySegments"},
    };
    for (const auto& [header, expected] : ninth) {
        Image image = segments(8);
        image.headers.push_back(header);
        EXPECT_EQ(outcome(image), expected) << header.offset << " " << header.vaddr;
    }
}

TEST_F(KernelImageTest, PlanSpansTheLoadableSegmentsAndRoundsToPages) {
    for (const uint16_t stride : {uint16_t{56}, uint16_t{64}}) {
        const Image image = {.entry = kEntry,
                             .phentsize = stride,
                             .headers = {{kNote, 0x10, 0x1000, 0x20, 0x20}, kFirst, kSecond}};
        const LoadPlan plan = plan_of(elf_image::build(image));
        EXPECT_EQ(plan.entry_point, kEntry) << stride;
        EXPECT_EQ(plan.virtual_base, kBase) << stride;
        EXPECT_EQ(plan.virtual_end, kBase + 20480) << stride;
        EXPECT_EQ(plan.physical_base, 0u) << stride;
        EXPECT_EQ(plan.image_size, 20480u) << stride;
        EXPECT_EQ(plan.segment_count, 2u) << stride;
    }
    const Image ragged = {.entry = kEntry,
                          .headers = {kFirst, {kLoad, 0x2000, kBase + 8192, 1, 1}}};
    EXPECT_EQ(plan_of(elf_image::build(ragged)).image_size, 12288u);
}

// Numbers in the file whose sums leave the 64-bit range name a rejection; a
// kernel file can never end the boot in a check failure.
TEST_F(KernelImageTest, OverflowingFileNumbersAreNamedRejections) {
    constexpr uint64_t kTopPage = kMax - 0xfff;
    const std::vector<std::tuple<const char*, Image, const char*>> cases = {
        {"BadHeader",
         {.entry = kEntry, .phoff = kMax - 50, .headers = kTwo, .length = 0x2100},
         "header offset"},
        {"SegmentOutOfFile",
         {.entry = kEntry, .headers = {{kLoad, kMax - 10, kBase, 4096, 4096}}, .length = 0x2100},
         "segment bytes"},
        {"BadHeader",
         {.entry = kEntry, .headers = {kFirst, {kLoad, 0x2000, kTopPage, 16, 0x1000}}},
         "segment ending at 2^64"},
        {"BadHeader",
         {.entry = kTopPage, .headers = {{kLoad, 0x1000, kTopPage, 16, 16}}},
         "segment in the top page, whose end is no address"},
        {"ok",
         {.entry = kTopPage - 0x1000, .headers = {{kLoad, 0x1000, kTopPage - 0x1000, 16, 0x1000}}},
         "segment ending where the top page starts"},
    };
    for (const auto& [expected, image, what] : cases) {
        EXPECT_EQ(outcome(image), expected) << what;
    }
}

TEST_F(KernelImageTest, PlacementCopiesFileBytesZeroFillsTailsAndLeavesGapsAlone) {
    const std::vector<uint8_t> bytes = elf_image::build({.entry = kEntry, .headers = kTwo});
    const LoadPlan plan = plan_of(bytes);
    std::vector<uint8_t> landing(20480 + 4096, 0xCC); // the last page guards the end
    const auto placed =
        load_kernel(file_of(bytes), plan, 0x200000, address_of(landing.data()), 20480);
    ASSERT_TRUE(placed.ok());
    EXPECT_EQ(placed.value().physical_base, 0x200000u);
    EXPECT_EQ(placed.value().image_size, plan.image_size);
    for (uint64_t k = 0; k < landing.size(); ++k) {
        uint8_t expected = 0xCC; // 4096..8192 and the guard: not written
        if (k < 4096) {
            expected = bytes[0x1000 + k];
        } else if (k >= 8192 && k < 8192 + 256) {
            expected = bytes[0x2000 + k - 8192];
        } else if (k >= 8192 + 256 && k < 20480) {
            expected = 0;
        }
        ASSERT_EQ(landing[k], expected) << "landing offset " << k;
    }
}

TEST_F(KernelImageTest, LaterOverlappingSegmentOverwritesTheEarlierOne) {
    const std::vector<uint8_t> bytes =
        elf_image::build({.entry = kBase,
                          .headers = {{kLoad, 0x1000, kBase, 0x1000, 0x1000},
                                      {kLoad, 0x3000, kBase + 0x800, 0x100, 0x400}}});
    std::vector<uint8_t> landing(4096, 0xCC);
    ASSERT_TRUE(
        load_kernel(file_of(bytes), plan_of(bytes), 0, address_of(landing.data()), 4096).ok());
    for (uint64_t k = 0; k < landing.size(); ++k) {
        uint8_t expected = bytes[0x1000 + k];
        if (k >= 0x800 && k < 0x900) {
            expected = bytes[0x3000 + k - 0x800];
        } else if (k >= 0x900 && k < 0xC00) {
            expected = 0;
        }
        ASSERT_EQ(landing[k], expected) << "landing offset " << k;
    }
}

TEST_F(KernelImageTest, LandingAreaSmallerThanTheImageIsRefusedWithNothingWritten) {
    const std::vector<uint8_t> bytes = elf_image::build({.entry = kEntry, .headers = kTwo});
    std::vector<uint8_t> landing(20480, 0xCC);
    const auto placed =
        load_kernel(file_of(bytes), plan_of(bytes), 0, address_of(landing.data()), 20479);
    ASSERT_FALSE(placed.ok());
    EXPECT_EQ(placed.error(), KernelImageFault::LandingAreaTooSmall);
    EXPECT_EQ(landing, std::vector<uint8_t>(20480, 0xCC));
}

} // namespace
