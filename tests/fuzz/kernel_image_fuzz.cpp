// Feeds arbitrary files to the kernel image check and places every image it
// accepts. An accepted plan must describe an image the page tables can map
// as planned, and placing it must stay inside its landing area (the address
// sanitizer watches the copies). Header arithmetic that would overflow may
// end in the "integer overflow" check failure, and in nothing else.
#include "elf/kernel_image.h"
#include "tests/fuzz/fuzz_support.h"

#include <vector>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kLowerHalfEnd = 1ull << 47;
constexpr uint64_t kUpperHalfStart = 0xffff800000000000ull;
constexpr uint64_t kLargestPlacedImage = 16ull << 20;

void check_plan(const LoadPlan& plan) {
    require(plan.segment_count >= 1 && plan.segment_count <= kMaxKernelSegments, "segments");
    require(plan.virtual_base % kPage == 0 && plan.virtual_end > plan.virtual_base, "base");
    require(plan.image_size % kPage == 0 &&
                plan.image_size >= plan.virtual_end - plan.virtual_base &&
                plan.image_size - (plan.virtual_end - plan.virtual_base) < kPage,
            "image size");
    require(plan.entry_point >= plan.virtual_base && plan.entry_point < plan.virtual_end, "entry");
    require(plan.virtual_end <= kLowerHalfEnd || plan.virtual_base >= kUpperHalfStart, "half");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The loader reads files from pool memory, which is 8-byte aligned.
    std::vector<uint64_t> file(size / 8 + 1);
    if (size != 0) {
        std::memcpy(file.data(), data, size);
    }
    const FileBytes bytes = {reinterpret_cast<uint64_t>(file.data()), size};
    LoaderRun run;
    const std::string ending = run([&] {
        const auto plan = plan_kernel(bytes);
        if (!plan.ok()) {
            return "rejected";
        }
        check_plan(plan.value());
        if (plan.value().image_size > kLargestPlacedImage) {
            return "planned";
        }
        std::vector<uint8_t> landing(plan.value().image_size);
        const uint64_t address = reinterpret_cast<uint64_t>(landing.data());
        const auto placed = load_kernel(bytes, plan.value(), address, address, landing.size());
        require(placed.ok() && placed.value().physical_base == address, "placed");
        return "placed";
    });
    require(ending == "rejected" || ending == "planned" || ending == "placed" ||
                ending == "check integer overflow",
            ending.c_str());
    return 0;
}
