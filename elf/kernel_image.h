// The kernel image: an ELF64 executable for x86-64, run at its link
// addresses. The check decides whether a file is acceptable and where its
// loadable segments lie; the placement copies them into the landing area.
#pragma once

#include "diag/result.h"
#include "diag/text.h"

#include <stdint.h>

// The names a rejected image is logged with.
enum class KernelImageError : uint8_t {
    NotElf64,
    NotX86_64,
    NotExecutable,
    BadHeader,
    SegmentOutOfFile,
    TooManySegments,
    EmptyImage,
};

// Why exactly an image was refused. The log shows only the error it belongs
// to; tools that explain a refusal to a kernel's author show the cause too.
enum class KernelImageFault : uint8_t {
    NotElf,                 // NotElf64: no ELF magic
    NotClass64,             // NotElf64: a 32-bit ELF file
    NotX86_64,              // NotX86_64
    NotExecutable,          // NotExecutable: relocatable, shared object or PIE
    FileTooShort,           // BadHeader: shorter than the 64-byte file header
    HeaderEntryTooSmall,    // BadHeader: e_phentsize below 56
    NoProgramHeaders,       // EmptyImage: e_phnum 0
    HeaderOutsideFile,      // BadHeader: a program header past the end of the file
    FileSizeOverMemorySize, // BadHeader: p_filesz above p_memsz
    SegmentOutOfFile,       // SegmentOutOfFile: segment bytes past the end of the file
    TooManySegments,        // TooManySegments: a ninth loadable segment
    SegmentPastTop,         // BadHeader: a segment running past 2^64 or into the top page
    NoLoadableSegment,      // EmptyImage: no loadable segment with memory
    UnalignedBase,          // BadHeader: lowest loadable address not page-aligned
    NonCanonicalSpan,       // BadHeader: the span leaves one canonical half
    EntryOutsideSegments,   // BadHeader: e_entry in no loadable segment
    LandingAreaTooSmall,    // BadHeader: placement given less room than the image
};

KernelImageError kernel_image_error(KernelImageFault fault);

// The name the log shows for an error, e.g. "BadHeader".
Text kernel_image_error_name(KernelImageError error);

constexpr uint64_t kMaxKernelSegments = 8;

// One loadable segment, as its program header describes it.
struct LoadSegment {
    uint64_t file_offset;
    uint64_t file_size;
    uint64_t virtual_address;
    uint64_t memory_size;
};

struct LoadPlan {
    uint64_t entry_point;   // e_entry, a kernel virtual address
    uint64_t virtual_base;  // lowest p_vaddr of the loadable segments
    uint64_t virtual_end;   // highest p_vaddr + p_memsz
    uint64_t physical_base; // the landing area, once placed
    uint64_t image_size;    // virtual_end - virtual_base, rounded up to whole pages
    uint64_t segment_count;
    LoadSegment segments[kMaxKernelSegments]; // in program-header order
};

struct FileBytes {
    uint64_t address;
    uint64_t length;
};

// Checks the image and works out its plan. Reads the file only.
Result<LoadPlan, KernelImageFault> plan_kernel(FileBytes file);

// Copies every loadable segment to its place in the landing area and zero
// fills its tail. Bytes no segment covers keep what the firmware left there.
Result<LoadPlan, KernelImageFault> load_kernel(FileBytes file, const LoadPlan& plan,
                                               uint64_t physical_base, uint64_t landing_address,
                                               uint64_t landing_length);
