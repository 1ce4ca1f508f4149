#include "elf/kernel_image.h"

#include "diag/checked.h"
#include "elf/elf64.h"

namespace {

using PlanResult = Result<LoadPlan, KernelImageError>;

// Bits 63..47 of a canonical x86-64 address are all equal.
constexpr uint64_t kLowerHalfEnd = 1ull << 47;
constexpr uint64_t kUpperHalfStart = 0xffff800000000000ull;
constexpr uint64_t kLastPageStart = ~kPageMask;

struct Segment {
    uint32_t type;
    uint64_t file_offset;
    uint64_t virtual_address;
    uint64_t file_size;
    uint64_t memory_size;

    // Only loadable headers that occupy memory count as segments.
    bool loadable() const { return type == elf64::kSegmentLoad && memory_size != 0; }
};

struct VirtualRange {
    uint64_t start;
    uint64_t end;
};

class ProgramHeaders {
  public:
    explicit ProgramHeaders(const uint8_t* file)
        : file_(file), table_offset_(elf64::read_u64(file + elf64::kProgramHeaderOffsetOffset)),
          entry_size_(elf64::read_u16(file + elf64::kProgramHeaderEntrySizeOffset)),
          count_(elf64::read_u16(file + elf64::kProgramHeaderCountOffset)) {}

    uint64_t count() const { return count_; }
    uint64_t entry_size() const { return entry_size_; }

    // File offset of header `index`; the product cannot overflow (16 x 16 bits).
    uint64_t offset_of(uint64_t index) const {
        return checked_add(table_offset_, index * entry_size_);
    }

    // The same for a file not yet checked: false when e_phoff is so large
    // that the offset does not fit in 64 bits.
    bool try_offset_of(uint64_t index, uint64_t& offset) const {
        return try_add(table_offset_, index * entry_size_, offset);
    }

    Segment read(uint64_t offset) const {
        const uint8_t* header = file_ + offset;
        return {elf64::read_u32(header + elf64::kSegmentTypeOffset),
                elf64::read_u64(header + elf64::kSegmentFileOffsetOffset),
                elf64::read_u64(header + elf64::kSegmentVirtualAddressOffset),
                elf64::read_u64(header + elf64::kSegmentFileSizeOffset),
                elf64::read_u64(header + elf64::kSegmentMemorySizeOffset)};
    }

  private:
    const uint8_t* file_;
    uint64_t table_offset_;
    uint16_t entry_size_;
    uint16_t count_;
};

bool is_canonical_range(const VirtualRange& range) {
    return range.end <= kLowerHalfEnd || range.start >= kUpperHalfStart;
}

bool lies_in_any(uint64_t address, const VirtualRange* ranges, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        if (address >= ranges[i].start && address < ranges[i].end) {
            return true;
        }
    }
    return false;
}

// Tests the format leaves open but the mapping depends on; they run after all
// the format tests, so a file those refuse keeps its own error name.
bool mappable(const LoadPlan& plan, const VirtualRange* segments) {
    // The tables map whole pages from the page holding the virtual base onto
    // the page-aligned landing area: an offset within the page would shift
    // the whole image.
    if ((plan.virtual_base & kPageMask) != 0) {
        return false;
    }
    // The image is mapped as one range, from its lowest address to its
    // highest, and the tables index only bits 12..47: a non-canonical address
    // anywhere in it, in a segment or between segments on either side of the
    // hole, would be mapped at an alias.
    if (!is_canonical_range({plan.virtual_base, plan.virtual_end})) {
        return false;
    }
    // An entry outside the image could only crash once boot services are gone.
    return lies_in_any(plan.entry_point, segments, plan.segment_count);
}

} // namespace

Text kernel_image_error_name(KernelImageError error) {
    switch (error) {
    case KernelImageError::NotElf64:
        return "NotElf64";
    case KernelImageError::NotX86_64:
        return "NotX86_64";
    case KernelImageError::NotExecutable:
        return "NotExecutable";
    case KernelImageError::BadHeader:
        return "BadHeader";
    case KernelImageError::SegmentOutOfFile:
        return "SegmentOutOfFile";
    case KernelImageError::TooManySegments:
        return "TooManySegments";
    case KernelImageError::EmptyImage:
        return "EmptyImage";
    }
    return "BadHeader";
}

PlanResult plan_kernel(FileBytes file) {
    if (file.length < elf64::kFileHeaderSize) {
        return PlanResult::failure(KernelImageError::BadHeader);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.address);
    for (uint64_t i = 0; i < sizeof(elf64::kMagic); ++i) {
        if (bytes[i] != elf64::kMagic[i]) {
            return PlanResult::failure(KernelImageError::NotElf64);
        }
    }
    if (bytes[elf64::kClassOffset] != elf64::kClass64) {
        return PlanResult::failure(KernelImageError::NotElf64);
    }
    if (elf64::read_u16(bytes + elf64::kMachineOffset) != elf64::kMachineX86_64) {
        return PlanResult::failure(KernelImageError::NotX86_64);
    }
    if (elf64::read_u16(bytes + elf64::kTypeOffset) != elf64::kTypeExecutable) {
        return PlanResult::failure(KernelImageError::NotExecutable);
    }
    const ProgramHeaders headers(bytes);
    if (headers.entry_size() < elf64::kProgramHeaderSize) {
        return PlanResult::failure(KernelImageError::BadHeader);
    }
    if (headers.count() == 0) {
        return PlanResult::failure(KernelImageError::EmptyImage);
    }

    // Sums of the file's own numbers that do not fit in 64 bits describe no
    // place in the file or in memory: the file is refused by name, like any
    // other malformed header.
    LoadPlan plan = {};
    plan.entry_point = elf64::read_u64(bytes + elf64::kEntryOffset);
    plan.virtual_base = ~0ull;
    VirtualRange segments[kMaxKernelSegments];
    for (uint64_t index = 0; index < headers.count(); ++index) {
        uint64_t offset;
        uint64_t header_end;
        // Every header must lie in the file, loadable or not.
        if (!headers.try_offset_of(index, offset) ||
            !try_add(offset, elf64::kProgramHeaderSize, header_end) || header_end > file.length) {
            return PlanResult::failure(KernelImageError::BadHeader);
        }
        const Segment segment = headers.read(offset);
        if (!segment.loadable()) {
            continue;
        }
        if (segment.file_size > segment.memory_size) {
            return PlanResult::failure(KernelImageError::BadHeader);
        }
        uint64_t file_end;
        if (!try_add(segment.file_offset, segment.file_size, file_end) || file_end > file.length) {
            return PlanResult::failure(KernelImageError::SegmentOutOfFile);
        }
        if (plan.segment_count == kMaxKernelSegments) {
            return PlanResult::failure(KernelImageError::TooManySegments);
        }
        uint64_t end;
        if (!try_add(segment.virtual_address, segment.memory_size, end)) {
            return PlanResult::failure(KernelImageError::BadHeader);
        }
        segments[plan.segment_count++] = {segment.virtual_address, end};
        if (segment.virtual_address < plan.virtual_base) {
            plan.virtual_base = segment.virtual_address;
        }
        if (end > plan.virtual_end) {
            plan.virtual_end = end;
        }
    }
    if (plan.segment_count == 0) {
        return PlanResult::failure(KernelImageError::EmptyImage);
    }
    // The mapping covers whole pages up to the one holding the last byte, so
    // that page's end must be an address too: the top page of the address
    // space cannot hold a kernel.
    if (plan.virtual_end > kLastPageStart) {
        return PlanResult::failure(KernelImageError::BadHeader);
    }
    plan.image_size = page_align_up(plan.virtual_end - plan.virtual_base);
    if (!mappable(plan, segments)) {
        return PlanResult::failure(KernelImageError::BadHeader);
    }
    return PlanResult::success(plan);
}

PlanResult load_kernel(FileBytes file, const LoadPlan& plan, uint64_t physical_base,
                       uint64_t landing_address, uint64_t landing_length) {
    if (landing_length < plan.image_size) {
        return PlanResult::failure(KernelImageError::BadHeader);
    }
    LoadPlan placed = plan;
    placed.physical_base = physical_base;

    const auto* bytes = reinterpret_cast<const uint8_t*>(file.address);
    auto* landing = reinterpret_cast<uint8_t*>(landing_address);
    const ProgramHeaders headers(bytes);
    for (uint64_t index = 0; index < headers.count(); ++index) {
        const uint64_t offset = headers.offset_of(index);
        check_range(offset, checked_add(offset, elf64::kProgramHeaderSize), file.length);
        const Segment segment = headers.read(offset);
        if (!segment.loadable()) {
            continue;
        }
        // Later headers overwrite earlier ones where segments overlap.
        const uint64_t at = checked_sub(segment.virtual_address, plan.virtual_base);
        check_range(at, checked_add(at, segment.memory_size), landing_length);
        check_range(segment.file_offset, checked_add(segment.file_offset, segment.file_size),
                    file.length);
        copy_bytes(landing + at, bytes + segment.file_offset, segment.file_size);
        __builtin_memset(landing + at + segment.file_size, 0,
                         checked_sub(segment.memory_size, segment.file_size));
    }
    return PlanResult::success(placed);
}
