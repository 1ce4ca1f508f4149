#include "tools/quillmor-check/fault_hints.h"

FaultHint fault_hint(KernelImageFault fault) {
    switch (fault) {
    case KernelImageFault::NotElf:
        return {"the file does not start with the ELF magic 7f 45 4c 46",
                "boot the linked ELF file itself, not a flat binary or an archive"};
    case KernelImageFault::NotClass64:
        return {"a 32-bit ELF file", "build and link for x86-64 (e.g. --target=x86_64-elf)"};
    case KernelImageFault::NotX86_64:
        return {"e_machine is not x86-64 (62)",
                "build and link for x86-64 (e.g. --target=x86_64-elf)"};
    case KernelImageFault::NotExecutable:
        return {"e_type is not ET_EXEC: a relocatable object, a shared object or a PIE",
                "link a static executable: -static -no-pie (ld: --no-pie), compile with -fno-pie"};
    case KernelImageFault::FileTooShort:
        return {"shorter than the 64-byte ELF file header", "boot the complete linked file"};
    case KernelImageFault::HeaderEntryTooSmall:
        return {"e_phentsize is below 56, the size of an ELF64 program header",
                "link with a standard ELF64 linker (ld.lld, GNU ld)"};
    case KernelImageFault::NoProgramHeaders:
        return {"the file has no program headers",
                "link an executable (not with -r); give the linker script PHDRS or sections to "
                "load"};
    case KernelImageFault::HeaderOutsideFile:
        return {"a program header lies (partly) past the end of the file",
                "the file is truncated or its e_phoff/e_phnum are wrong: relink"};
    case KernelImageFault::FileSizeOverMemorySize:
        return {"a loadable segment has more file bytes than memory bytes (p_filesz > p_memsz)",
                "relink; a segment's memory size must cover its file bytes"};
    case KernelImageFault::SegmentOutOfFile:
        return {"a loadable segment's bytes lie past the end of the file",
                "the file is truncated: copy the whole linked file to the boot volume"};
    case KernelImageFault::TooManySegments:
        return {"more than 8 loadable segments",
                "merge output sections into at most 8 PT_LOAD segments (PHDRS in the linker "
                "script)"};
    case KernelImageFault::SegmentPastTop:
        return {"a loadable segment reaches the last page of the address space or past it",
                "link below 0xfffffffffffff000 (e.g. at 0xffffffff80000000)"};
    case KernelImageFault::NoLoadableSegment:
        return {"no PT_LOAD segment occupies memory",
                "make sure the linker script places code in a loadable segment"};
    case KernelImageFault::UnalignedBase:
        return {"the lowest loadable address is not a multiple of 4096",
                "start the first loadable segment on a page boundary (. = ALIGN(4096))"};
    case KernelImageFault::NonCanonicalSpan:
        return {"the span from the lowest to the highest loadable address leaves one "
                "canonical half (below 0x0000800000000000 or from 0xffff800000000000)",
                "link the whole kernel in one half, e.g. from 0xffffffff80000000"};
    case KernelImageFault::EntryOutsideSegments:
        return {"the entry point lies in no loadable segment",
                "set ENTRY() in the linker script to a symbol in the kernel's code"};
    case KernelImageFault::LandingAreaTooSmall:
        return {"the landing area is smaller than the image", "report this as a loader bug"};
    }
    return {"unknown", "report this as a loader bug"};
}
