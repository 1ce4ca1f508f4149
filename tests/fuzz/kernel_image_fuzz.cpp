// Arbitrary files through the kernel image check, against a reference written
// from the ELF64 format and the mapping rules, in the order they are applied:
// the name a refused file is logged with, or the plan of an accepted one
// (entry, span, size, segment count). An accepted image is then placed in a
// landing area, which must hold each segment's bytes and zero fill, later
// segments over earlier ones, and nothing outside it may be written (the
// address sanitizer watches). The seeds hold the edge of every rule.
#include "elf/kernel_image.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using u128 = unsigned __int128;

struct Segment {
    uint64_t offset, filesz, vaddr, memsz;
};

std::string plan_text(uint64_t entry, uint64_t base, uint64_t end, uint64_t size, uint64_t count) {
    return "ok " + std::to_string(entry) + " " + std::to_string(base) + " " + std::to_string(end) +
           " " + std::to_string(size) + " " + std::to_string(count);
}

std::string reference(std::vector<uint8_t> file, std::vector<Segment>& segments) {
    const size_t size = file.size();
    file.resize(std::max<size_t>(size, 64)); // the header of a shorter file reads as zeros
    const auto field = [&](u128 at, size_t width) {
        uint64_t value = 0;
        std::memcpy(&value, file.data() + static_cast<size_t>(at), width);
        return value;
    };
    const uint64_t entry = field(24, 8), table = field(32, 8), stride = field(54, 2);
    const char* header = size < 64                                   ? "BadHeader"
                         : field(0, 4) != 0x464c457f || file[4] != 2 ? "NotElf64"
                         : field(18, 2) != 62                        ? "NotX86_64"
                         : field(16, 2) != 2                         ? "NotExecutable"
                         : stride < 56                               ? "BadHeader"
                         : field(56, 2) == 0                         ? "EmptyImage"
                                                                     : nullptr;
    if (header != nullptr) {
        return header;
    }
    u128 low = ~0ull, high = 0;
    bool entry_inside = false;
    for (uint64_t i = 0; i < field(56, 2); ++i) {
        const u128 at = u128{table} + i * stride;
        if (at + 56 > size) {
            return "BadHeader";
        }
        const Segment s = {field(at + 8, 8), field(at + 32, 8), field(at + 16, 8),
                           field(at + 40, 8)};
        if (field(at, 4) != 1 || s.memsz == 0) {
            continue;
        }
        const std::string refused = s.filesz > s.memsz                 ? "BadHeader"
                                    : u128{s.offset} + s.filesz > size ? "SegmentOutOfFile"
                                    : segments.size() == 8             ? "TooManySegments"
                                    : u128{s.vaddr} + s.memsz > ~0ull  ? "BadHeader"
                                                                       : "";
        if (!refused.empty()) {
            return refused;
        }
        segments.push_back(s);
        low = std::min<u128>(low, s.vaddr);
        high = std::max(high, u128{s.vaddr} + s.memsz);
        entry_inside = entry_inside || (entry >= s.vaddr && entry - s.vaddr < s.memsz);
    }
    // Whole pages up to the top page, page-aligned, in one canonical half.
    const bool canonical = high <= (1ull << 47) || low >= 0xffff800000000000ull;
    return segments.empty() ? "EmptyImage"
           : high > ~0xfffull || low % 4096 != 0 || !canonical || !entry_inside
               ? "BadHeader"
               : plan_text(entry, uint64_t(low), uint64_t(high),
                           (uint64_t(high - low) + 4095) & ~0xfffull, segments.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> file(data, data + size); // aligned, as pool memory is
    std::vector<Segment> segments;
    const std::string expected = reference(file, segments);
    const FileBytes bytes = {reinterpret_cast<uint64_t>(file.data()), size};
    const auto planned = plan_kernel(bytes);
    if (!planned.ok()) {
        const Text name = kernel_image_error_name(kernel_image_error(planned.error()));
        expect_same(std::string(name.bytes, name.length), expected);
        return 0;
    }
    const LoadPlan& plan = planned.value();
    expect_same(plan_text(plan.entry_point, plan.virtual_base, plan.virtual_end, plan.image_size,
                          plan.segment_count),
                expected);
    if (plan.image_size > (16 << 20)) {
        return 0;
    }
    std::vector<uint8_t> landing(plan.image_size, 0xCC), placed = landing;
    for (const Segment& s : segments) {
        uint8_t* at = placed.data() + (s.vaddr - plan.virtual_base);
        std::memcpy(at, file.data() + s.offset, s.filesz);
        std::memset(at + s.filesz, 0, s.memsz - s.filesz);
    }
    const uint64_t address = reinterpret_cast<uint64_t>(landing.data());
    const auto loaded = load_kernel(bytes, plan, address, address, landing.size());
    require(loaded.ok() && loaded.value().physical_base == address && landing == placed,
            "the segments as placed");
    return 0;
}
