// Feeds arbitrary files to the kernel image check and places every image it
// accepts. An accepted plan must describe an image the page tables can map
// as planned, and placing it must stay inside its landing area (the address
// sanitizer watches the copies). Header arithmetic that would overflow may
// end in the "integer overflow" check failure, and in nothing else.
#include "elf/kernel_image.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "uefi/loader_globals.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kLowerHalfEnd = 1ull << 47;
constexpr uint64_t kUpperHalfStart = 0xffff800000000000ull;
constexpr uint64_t kLargestPlacedImage = 16ull << 20;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void check_plan(const LoadPlan& plan) {
    require(plan.segment_count >= 1 && plan.segment_count <= kMaxKernelSegments);
    require(plan.virtual_base % kPage == 0);
    require(plan.virtual_end > plan.virtual_base);
    require(plan.image_size % kPage == 0);
    require(plan.image_size >= plan.virtual_end - plan.virtual_base);
    require(plan.image_size - (plan.virtual_end - plan.virtual_base) < kPage);
    require(plan.entry_point >= plan.virtual_base && plan.entry_point < plan.virtual_end);
    require(plan.virtual_end <= kLowerHalfEnd || plan.virtual_base >= kUpperHalfStart);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Fresh per input: every check failure takes pool memory for its exit data.
    FakeFirmware firmware(64 << 10);
    set_loader_globals(firmware.image_handle(), firmware.system_table());

    // The loader reads files from pool memory, which is 8-byte aligned.
    std::vector<uint64_t> file(size / 8 + 1);
    if (size != 0) {
        std::memcpy(file.data(), data, size);
    }
    const FileBytes bytes = {reinterpret_cast<uint64_t>(file.data()), size};
    try {
        const auto plan = plan_kernel(bytes);
        if (!plan.ok()) {
            return 0;
        }
        check_plan(plan.value());
        if (plan.value().image_size > kLargestPlacedImage) {
            return 0;
        }
        std::vector<uint8_t> landing(plan.value().image_size);
        const uint64_t address = reinterpret_cast<uint64_t>(landing.data());
        const auto placed = load_kernel(bytes, plan.value(), address, address, landing.size());
        require(placed.ok() && placed.value().physical_base == address);
    } catch (const fake_arch::Halted&) {
        const std::u16string overflow = u"integer overflow\r\n";
        require(firmware.exit_call.has_value() &&
                firmware.exit_call->data.substr(0, overflow.size()) == overflow);
    }
    return 0;
}
