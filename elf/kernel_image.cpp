#include "elf/kernel_image.h"

#include "diag/checked.h"
#include "elf/elf64.h"

namespace {

using PlanResult = Result<LoadPlan, KernelImageFault>;

// Bits 63..47 of a canonical x86-64 address are all equal.
constexpr uint64_t kLowerHalfEnd = 1ull << 47;
constexpr uint64_t kUpperHalfStart = 0xffff800000000000ull;
constexpr uint64_t kLastPageStart = ~kPageMask;

struct ProgramHeader {
    uint32_t type;
    LoadSegment segment;

    // Only loadable headers that occupy memory count as segments.
    bool loadable() const { return type == elf64::kSegmentLoad && segment.memory_size != 0; }
};

class ProgramHeaders {
  public:
    explicit ProgramHeaders(const uint8_t* file)
        : file_(file), table_offset_(elf64::read_u64(file + elf64::kProgramHeaderOffsetOffset)),
          entry_size_(elf64::read_u16(file + elf64::kProgramHeaderEntrySizeOffset)),
          count_(elf64::read_u16(file + elf64::kProgramHeaderCountOffset)) {}

    uint64_t count() const { return count_; }
    uint64_t entry_size() const { return entry_size_; }

    // File offset of header `index`, false when e_phoff is so large that it
    // does not fit in 64 bits. The product cannot overflow (16 x 16 bits).
    bool offset_of(uint64_t index, uint64_t& offset) const {
        return try_add(table_offset_, index * entry_size_, offset);
    }

    ProgramHeader read(uint64_t offset) const {
        const uint8_t* header = file_ + offset;
        return {elf64::read_u32(header + elf64::kSegmentTypeOffset),
                {elf64::read_u64(header + elf64::kSegmentFileOffsetOffset),
                 elf64::read_u64(header + elf64::kSegmentFileSizeOffset),
                 elf64::read_u64(header + elf64::kSegmentVirtualAddressOffset),
                 elf64::read_u64(header + elf64::kSegmentMemorySizeOffset)}};
    }

  private:
    const uint8_t* file_;
    uint64_t table_offset_;
    uint16_t entry_size_;
    uint16_t count_;
};

bool entry_in_a_segment(const LoadPlan& plan) {
    for (uint64_t i = 0; i < plan.segment_count; ++i) {
        const LoadSegment& segment = plan.segments[i];
        if (plan.entry_point >= segment.virtual_address &&
            plan.entry_point - segment.virtual_address < segment.memory_size) {
            return true;
        }
    }
    return false;
}

// Tests the format leaves open but the mapping depends on; they run after all
// the format tests, so a file those refuse keeps its own error name.
bool mappable(const LoadPlan& plan, KernelImageFault& fault) {
    // The tables map whole pages from the page holding the virtual base onto
    // the page-aligned landing area: an offset within the page would shift
    // the whole image.
    if ((plan.virtual_base & kPageMask) != 0) {
        fault = KernelImageFault::UnalignedBase;
        return false;
    }
    // The image is mapped as one range, from its lowest address to its
    // highest, and the tables index only bits 12..47: a non-canonical address
    // anywhere in it, in a segment or between segments on either side of the
    // hole, would be mapped at an alias.
    if (plan.virtual_end > kLowerHalfEnd && plan.virtual_base < kUpperHalfStart) {
        fault = KernelImageFault::NonCanonicalSpan;
        return false;
    }
    // An entry outside the image could only crash once boot services are gone.
    if (!entry_in_a_segment(plan)) {
        fault = KernelImageFault::EntryOutsideSegments;
        return false;
    }
    return true;
}

// Walks the program headers in file order; sums of the file's own numbers
// that do not fit in 64 bits describe no place in the file or in memory, so
// they are refused by name like any other malformed header.
bool collect_segments(const ProgramHeaders& headers, uint64_t file_length, LoadPlan& plan,
                      KernelImageFault& fault) {
    for (uint64_t index = 0; index < headers.count(); ++index) {
        uint64_t offset;
        uint64_t header_end;
        // Every header must lie in the file, loadable or not.
        if (!headers.offset_of(index, offset) ||
            !try_add(offset, elf64::kProgramHeaderSize, header_end) || header_end > file_length) {
            fault = KernelImageFault::HeaderOutsideFile;
            return false;
        }
        const ProgramHeader header = headers.read(offset);
        if (!header.loadable()) {
            continue;
        }
        const LoadSegment& segment = header.segment;
        if (segment.file_size > segment.memory_size) {
            fault = KernelImageFault::FileSizeOverMemorySize;
            return false;
        }
        uint64_t file_end;
        if (!try_add(segment.file_offset, segment.file_size, file_end) || file_end > file_length) {
            fault = KernelImageFault::SegmentOutOfFile;
            return false;
        }
        if (plan.segment_count == kMaxKernelSegments) {
            fault = KernelImageFault::TooManySegments;
            return false;
        }
        uint64_t end;
        if (!try_add(segment.virtual_address, segment.memory_size, end)) {
            fault = KernelImageFault::SegmentPastTop;
            return false;
        }
        plan.segments[plan.segment_count++] = segment;
        if (segment.virtual_address < plan.virtual_base) {
            plan.virtual_base = segment.virtual_address;
        }
        if (end > plan.virtual_end) {
            plan.virtual_end = end;
        }
    }
    return true;
}

} // namespace

KernelImageError kernel_image_error(KernelImageFault fault) {
    switch (fault) {
    case KernelImageFault::NotElf:
    case KernelImageFault::NotClass64:
        return KernelImageError::NotElf64;
    case KernelImageFault::NotX86_64:
        return KernelImageError::NotX86_64;
    case KernelImageFault::NotExecutable:
        return KernelImageError::NotExecutable;
    case KernelImageFault::SegmentOutOfFile:
        return KernelImageError::SegmentOutOfFile;
    case KernelImageFault::TooManySegments:
        return KernelImageError::TooManySegments;
    case KernelImageFault::NoProgramHeaders:
    case KernelImageFault::NoLoadableSegment:
        return KernelImageError::EmptyImage;
    default:
        return KernelImageError::BadHeader;
    }
}

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
        return PlanResult::failure(KernelImageFault::FileTooShort);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.address);
    for (uint64_t i = 0; i < sizeof(elf64::kMagic); ++i) {
        if (bytes[i] != elf64::kMagic[i]) {
            return PlanResult::failure(KernelImageFault::NotElf);
        }
    }
    if (bytes[elf64::kClassOffset] != elf64::kClass64) {
        return PlanResult::failure(KernelImageFault::NotClass64);
    }
    if (elf64::read_u16(bytes + elf64::kMachineOffset) != elf64::kMachineX86_64) {
        return PlanResult::failure(KernelImageFault::NotX86_64);
    }
    if (elf64::read_u16(bytes + elf64::kTypeOffset) != elf64::kTypeExecutable) {
        return PlanResult::failure(KernelImageFault::NotExecutable);
    }
    const ProgramHeaders headers(bytes);
    if (headers.entry_size() < elf64::kProgramHeaderSize) {
        return PlanResult::failure(KernelImageFault::HeaderEntryTooSmall);
    }
    if (headers.count() == 0) {
        return PlanResult::failure(KernelImageFault::NoProgramHeaders);
    }

    LoadPlan plan = {};
    plan.entry_point = elf64::read_u64(bytes + elf64::kEntryOffset);
    plan.virtual_base = ~0ull;
    KernelImageFault fault;
    if (!collect_segments(headers, file.length, plan, fault)) {
        return PlanResult::failure(fault);
    }
    if (plan.segment_count == 0) {
        return PlanResult::failure(KernelImageFault::NoLoadableSegment);
    }
    // The mapping covers whole pages up to the one holding the last byte, so
    // that page's end must be an address too: the top page of the address
    // space cannot hold a kernel.
    if (plan.virtual_end > kLastPageStart) {
        return PlanResult::failure(KernelImageFault::SegmentPastTop);
    }
    plan.image_size = page_align_up(plan.virtual_end - plan.virtual_base);
    if (!mappable(plan, fault)) {
        return PlanResult::failure(fault);
    }
    return PlanResult::success(plan);
}

PlanResult load_kernel(FileBytes file, const LoadPlan& plan, uint64_t physical_base,
                       uint64_t landing_address, uint64_t landing_length) {
    if (landing_length < plan.image_size) {
        return PlanResult::failure(KernelImageFault::LandingAreaTooSmall);
    }
    LoadPlan placed = plan;
    placed.physical_base = physical_base;

    const auto* bytes = reinterpret_cast<const uint8_t*>(file.address);
    auto* landing = reinterpret_cast<uint8_t*>(landing_address);
    check_range(0, plan.segment_count, kMaxKernelSegments);
    // In program-header order: later headers overwrite earlier ones where
    // segments overlap.
    for (uint64_t index = 0; index < plan.segment_count; ++index) {
        const LoadSegment& segment = plan.segments[index];
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
