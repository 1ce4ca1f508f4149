// quillmor-check: tells a kernel's author, before any reboot, whether the
// loader will accept a kernel file and where it will put it. It runs the
// loader's own image check and placement (the same sources the loader is
// built from), so its verdict is the loader's.
//
//   quillmor-check KERNEL.elf [--ramdisk FILE]
//
// Exit status: 0 accepted; 1 usage or unreadable file; 2 unusable ramdisk;
// 3 empty kernel file; 10 + n for the n-th rejection name (NotElf64 = 10 ...
// EmptyImage = 16), as kernel_verdict.h gives them.
#include "elf/kernel_image.h"
#include "tools/quillmor-check/kernel_verdict.h"
#include "tools/quillmor-check/read_whole.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kHandoffRecordBytes = 4 * kPage;
constexpr uint64_t kLowerHalfEnd = 1ull << 47;
// The direct map's first 64 TiB: where any machine's RAM or framebuffer can
// appear at 0xffff800000000000 + its physical address.
constexpr uint64_t kDirectMapStart = 0xffff800000000000ull;
constexpr uint64_t kDirectMapWarnEnd = 0xffff900000000000ull;

constexpr int kExitAccepted = 0;

uint64_t pages_for(uint64_t bytes) {
    return (bytes + kPage - 1) / kPage;
}

void print_plan(const char* path, const LoadPlan& plan) {
    std::printf("%s: accepted\n", path);
    std::printf("  entry point     0x%016" PRIx64 "\n", plan.entry_point);
    std::printf("  virtual base    0x%016" PRIx64 "\n", plan.virtual_base);
    std::printf("  virtual end     0x%016" PRIx64 "\n", plan.virtual_end);
    std::printf("  segments        %" PRIu64 " loadable, in program-header order:\n",
                plan.segment_count);
    std::printf("    #  file bytes                memory\n");
    for (uint64_t i = 0; i < plan.segment_count; ++i) {
        const LoadSegment& s = plan.segments[i];
        std::printf("    %" PRIu64 "  0x%08" PRIx64 "-0x%08" PRIx64 "   0x%016" PRIx64
                    "-0x%016" PRIx64 " (%" PRIu64 " bytes, %" PRIu64 " zero-filled)\n",
                    i, s.file_offset, s.file_offset + s.file_size, s.virtual_address,
                    s.virtual_address + s.memory_size, s.memory_size, s.memory_size - s.file_size);
    }
    std::printf("  landing area    %" PRIu64 " pages (%" PRIu64
                " bytes), anywhere in physical memory\n",
                plan.image_size / kPage, plan.image_size);
    if (plan.virtual_base < kDirectMapWarnEnd && plan.virtual_end > kDirectMapStart) {
        std::printf("  warning         linked inside the direct map (0xffff800000000000 + "
                    "physical address): at boot the loader refuses a span that meets any RAM or "
                    "framebuffer page it maps there, with [quillmor] "
                    "装载失败：内核链接地址与直接映射重叠; link at 0xffffffff80000000\n");
    }
    if (plan.virtual_end <= kLowerHalfEnd) {
        std::printf("  note            linked in the lower half, where the loader's own image "
                    "and stack are identity-mapped: at boot the loader refuses a span that "
                    "overlaps them\n");
    }
}

// Places the image as the loader would, into memory of our own, so that a
// plan that could not be placed shows here too.
bool place(const std::vector<uint8_t>& file, const LoadPlan& plan) {
    std::vector<uint64_t> landing(plan.image_size / sizeof(uint64_t));
    const uint64_t address = reinterpret_cast<uint64_t>(landing.data());
    const FileBytes bytes = {reinterpret_cast<uint64_t>(file.data()), file.size()};
    return load_kernel(bytes, plan, address, address, plan.image_size).ok();
}

int usage() {
    std::fprintf(stderr, "usage: quillmor-check KERNEL.elf [--ramdisk FILE]\n");
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    const char* kernel_path = nullptr;
    const char* ramdisk_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ramdisk") == 0 && i + 1 < argc) {
            ramdisk_path = argv[++i];
        } else if (argv[i][0] == '-' || kernel_path != nullptr) {
            return usage();
        } else {
            kernel_path = argv[i];
        }
    }
    if (kernel_path == nullptr) {
        return usage();
    }

    // A vector's heap block is 8-byte aligned, as the loader's file pages are.
    const auto file = read_whole(kernel_path);
    if (!file) {
        std::fprintf(stderr, "quillmor-check: cannot read %s\n", kernel_path);
        return kExitUsage;
    }
    int refusal = 0;
    const auto plan = judge_kernel(kernel_path, *file, refusal);
    if (!plan) {
        return refusal;
    }
    if (plan->image_size > (uint64_t{1} << 30) || !place(*file, *plan)) {
        // Only the landing area's size can stop the boot now; say so.
        std::printf("%s: accepted, but its landing area of %" PRIu64
                    " bytes is more than this check will place\n",
                    kernel_path, plan->image_size);
    }
    print_plan(kernel_path, *plan);

    if (ramdisk_path != nullptr) {
        const auto ramdisk = read_whole(ramdisk_path);
        if (!ramdisk) {
            std::fprintf(stderr, "quillmor-check: cannot read %s\n", ramdisk_path);
            return kExitBadRamdisk;
        }
        if (ramdisk->empty()) {
            std::printf("%s: empty; the loader stops with: [quillmor] 装载失败：文件为空\n",
                        ramdisk_path);
            return kExitBadRamdisk;
        }
        // What the loader obtains for the two files, in whole pages: the
        // kernel file, its landing area, the ramdisk, the handoff record.
        const uint64_t pages = pages_for(file->size()) + plan->image_size / kPage +
                               pages_for(ramdisk->size()) + kHandoffRecordBytes / kPage;
        std::printf("%s: %zu bytes, handed over as module \"initrd\"\n", ramdisk_path,
                    ramdisk->size());
        std::printf("  memory the boot needs for both: %" PRIu64 " pages (%" PRIu64
                    " KiB): kernel file %" PRIu64 ", landing area %" PRIu64 ", ramdisk %" PRIu64
                    ", handoff record %" PRIu64
                    "; plus page tables of about one page per MiB of RAM\n",
                    pages, pages * 4, pages_for(file->size()), plan->image_size / kPage,
                    pages_for(ramdisk->size()), kHandoffRecordBytes / kPage);
    }
    return kExitAccepted;
}
