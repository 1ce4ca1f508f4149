#!/usr/bin/env python3
"""Plants known faults in the loader one at a time, in a copy of the tree (tracked
and new files) with a build of its own, and reports which the host tests catch.

    scripts/mutants.py --work DIR [--only 3,27]     every fault, or some
    scripts/mutants.py --list                       the faults
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# (what, file, text as it stands, the fault). The text must occur exactly once.
MUTANTS = [
    ("region table holds 511 instead of 512", "mm/region_table.cpp",
     "if (count == QUILLMOR_MAX_REGIONS) {", "if (count == QUILLMOR_MAX_REGIONS - 1) {"),
    ("a wrong byte in 读文件失败", "firmware/file_reader.cpp",
     'fatal_stop("读文件失败")', 'fatal_stop("读文件失账")'),
    ("GetInfo size above 512 not checked", "firmware/file_reader.cpp",
     "if (info_size > kFileInfoBufferSize) {", "if (false && info_size > kFileInfoBufferSize) {"),
    ("kernel virtual base recorded as the physical one", "boot/handoff_record.cpp",
     "record.kernel_virtual_base = plan.virtual_base;",
     "record.kernel_virtual_base = plan.physical_base;"),
    ("canonical upper edge refused", "elf/kernel_image.cpp",
     "plan.virtual_base < kUpperHalfStart", "plan.virtual_base <= kUpperHalfStart"),
    ("table-page estimate counts from end, not end - 1", "mm/table_page_pool.cpp",
     "const uint64_t last = (end - 1) >> kSlotShifts[level];",
     "const uint64_t last = end >> kSlotShifts[level];"),
    ("UTF-8 overlong three-byte form accepted", "diag/utf8.cpp",
     "smallest = 0x800;", "smallest = 0x80;"),
    ("UTF-8 overlong four-byte form accepted", "diag/utf8.cpp",
     "smallest = 0x10000;", "smallest = 0x800;"),
    ("kernel carve interval not page-rounded", "boot/boot_sequence.cpp",
     "add_carve_interval(plan.physical_base, plan.image_size, KernelAndModules)",
     "add_carve_interval(plan.physical_base, plan.virtual_end - plan.virtual_base, "
     "KernelAndModules)"),
    ("memory-map headroom back to 32", "boot/boot_sequence.cpp",
     "kAllocationsAfterSizeQuery = 2 + TablePagePool::kMaxRuns;",
     "kAllocationsAfterSizeQuery = 8;"),  # 2 x 2 x 8 = 32 descriptors
    ("pitch from the width instead of PixelsPerScanLine", "platform/framebuffer.cpp",
     "record.framebuffer_pitch = checked_mul_u32(info.PixelsPerScanLine,",
     "record.framebuffer_pitch = checked_mul_u32(info.HorizontalResolution,"),
    ("halt without CLI", "diag/halt.cpp",
     "        arch::disable_interrupts();\n", ""),
    ("ACPI reclaim memory not mapped", "mm/page_table_builder.cpp",
     "constexpr uint64_t kMappedMemoryTypes = 0xc6fe;",
     "constexpr uint64_t kMappedMemoryTypes = 0xc4fe;"),
    ("page ledger full one entry early", "firmware/page_ledger.cpp",
     "if (count_ == kCapacity) {", "if (count_ == kCapacity - 1) {"),
    ("dead-UART bound off by one", "diag/serial.cpp",
     "reads < kLineStatusReadsPerByte", "reads <= kLineStatusReadsPerByte"),
    ("exit data size without its terminator", "diag/check_failure.cpp",
     "EFI_ABORTED, exit_data_size, exit_text", "EFI_ABORTED, exit_data_size - 2, exit_text"),
    ("ACPI NVS given the wrong region type", "mm/region_table.cpp",
     "AcpiNvs,         // EfiACPIMemoryNVS", "AcpiReclaimable, // EfiACPIMemoryNVS"),
    ("own-page check skipped", "mm/region_table.cpp",
     "if (!check_own_pages(record)) {", "if (false && !check_own_pages(record)) {"),
    ("exit retried with the refused key", "boot/handover.cpp",
     "ExitBootServices(image, refreshed.map_key)",
     "ExitBootServices(image, handover.final_map.map_key)"),
    ("second graphics handle used", "platform/framebuffer.cpp",
     "return count == 0 ? nullptr : handles[0];",
     "return count == 0 ? nullptr : handles[count - 1];"),
    ("kernel image size not rounded up", "elf/kernel_image.cpp",
     "plan.image_size = page_align_up(plan.virtual_end - plan.virtual_base);",
     "plan.image_size = plan.virtual_end - plan.virtual_base;"),
    ("carve pieces with the same start in reversed order", "mm/region_table.cpp",
     "pieces[at - 1].start > piece.start", "pieces[at - 1].start >= piece.start"),
    ("ledger range touching a usable entry counted as overlapping", "mm/region_table.cpp",
     "if (own_start < end_of(region.base, region.length) && region.base < own_end) {",
     "if (own_start <= end_of(region.base, region.length) && region.base < own_end) {"),
    ("carve piece limit one too early", "mm/region_table.cpp",
     "if (piece_count == kMaxPieces) {", "if (piece_count == kMaxPieces - 1) {"),
    ("unusable memory mapped", "mm/page_table_builder.cpp",
     "constexpr uint64_t kMappedMemoryTypes = 0xc6fe;",
     "constexpr uint64_t kMappedMemoryTypes = 0xc7fe;"),
    ("physical-cursor overflow detected one page late", "mm/page_table_builder.cpp",
     "const bool cursor_overflows = pages > advances_left;",
     "const bool cursor_overflows = pages > advances_left + 1;"),
    ("a Read of 0 bytes taken as progress", "firmware/file_reader.cpp",
     "if (status != EFI_SUCCESS || count == 0 || count > asked) {",
     "if (status != EFI_SUCCESS || count > asked) {"),
    ("a level-1 table skips its clear when only partly written", "mm/page_table_builder.cpp",
     "level1_table_for(builder, page, run == kEntriesPerTable);",
     "level1_table_for(builder, page, true);"),
    ("InvalidParameter reported as Unexpected", "firmware/memory_map.cpp",
     "        return MemoryMapError::InvalidParameter;",
     "        return MemoryMapError::Unexpected;"),
    ("watchdog call dropped", "boot/boot_sequence.cpp",
     "if (boot_services->SetWatchdogTimer != nullptr) {",
     "if (false && boot_services->SetWatchdogTimer != nullptr) {"),
    ("LA57 root with only entry 0 set", "mm/processor_view.cpp",
     "table[kEntriesPerTable - 1] = upper | kEntryFlags;", "table[0] = upper | kEntryFlags;"),
    ("LA57 halves aliased: both entries lead to one table", "mm/processor_view.cpp",
     "table[kEntriesPerTable - 1] = upper | kEntryFlags;",
     "table[kEntriesPerTable - 1] = lower | kEntryFlags;"),
    ("GDT pages not mapped", "mm/processor_view.cpp",
     "{descriptor_table_range(arch::read_gdtr()),", "{IdentityRange{0, 0},"),
    ("kernel overlapping the loader image accepted", "boot/kernel_stage.cpp",
     "image_end = checked_add(image_base, loaded_image.ImageSize);", "image_end = image_base;"),
    ("first memory-map reading's key handed to ExitBootServices", "boot/boot_sequence.cpp",
     "hand_over({boot_services, map_buffer.capacity, final_map.value(),",
     "hand_over({boot_services, map_buffer.capacity, first_map.value(),"),
    # Beyond the faults of earlier work: one per behaviour the tests must keep.
    ("UART FIFO control value wrong", "diag/serial.cpp",
     "arch::port_write8(kFifoControl, 0xC7);", "arch::port_write8(kFifoControl, 0xC1);"),
    ("fatal line ends in LF only", "diag/fatal_stop.cpp",
     "    serial_write(kLineEnd);", '    serial_write("\\n");'),
    ("check failure shown without the red attribute", "diag/check_failure.cpp",
     "console->SetAttribute(console, EFI_TEXT_ATTRIBUTE_RED_ON_BLACK);",
     "console->SetAttribute(console, EFI_TEXT_ATTRIBUTE_WHITE_ON_BLACK);"),
    ("check failure exits with another status", "diag/check_failure.cpp",
     "Exit(loader_image_handle(), EFI_ABORTED,", "Exit(loader_image_handle(), EFI_DEVICE_ERROR,"),
    ("unused region entries of type Usable", "mm/region_table.h",
     "kUnusedRegion = {0, 0, Reserved, 0};", "kUnusedRegion = {0, 0, Usable, 0};"),
    ("loader version field wrong", "boot/platform_facts.h",
     'kLoaderVersion = "1.0.0";', 'kLoaderVersion = "1.0.1";'),
    ("a rejection name misspelt", "elf/kernel_image.cpp",
     'return "NotX86_64";', 'return "NotX86-64";'),
    ("unaccepted memory not mapped", "mm/page_table_builder.cpp",
     "constexpr uint64_t kMappedMemoryTypes = 0xc6fe;",
     "constexpr uint64_t kMappedMemoryTypes = 0x46fe;"),
    ("runtime-services data not mapped", "mm/page_table_builder.cpp",
     "constexpr uint64_t kMappedMemoryTypes = 0xc6fe;",
     "constexpr uint64_t kMappedMemoryTypes = 0xc6be;"),
    ("framebuffer ending a page below 2^47 refused", "mm/direct_map.h",
     "(end & ~kPageMask) < kDirectMapPhysicalLimit",
     "(end & ~kPageMask) < kDirectMapPhysicalLimit - kPageSize"),
    ("framebuffer above 2^47 accepted", "mm/direct_map.h",
     "(end & ~kPageMask) < kDirectMapPhysicalLimit", "(end & ~kPageMask) <= kDirectMapPhysicalLimit"),
    ("file read in pieces of 2 MiB", "firmware/file_reader.cpp",
     "kMaxReadPiece = 1ull << 20;", "kMaxReadPiece = 1ull << 21;"),
    ("stack window of 64 KiB", "mm/handover_pages.h",
     "kFirmwareStackBytes = 128 * 1024;", "kFirmwareStackBytes = 64 * 1024;"),
    ("fifth-level root not counted in the estimate", "mm/table_page_pool.cpp",
     "processor.five_level_paging ? kFiveLevelTablePages : 0;",
     "processor.five_level_paging ? 1 : 0;"),
    ("kernel linked over the direct map accepted", "boot/boot_sequence.cpp",
     "if (kernel_meets_direct_map(first_map, plan, record, handover)) {",
     "if (false && kernel_meets_direct_map(first_map, plan, record, handover)) {"),
    ("local APIC page not mapped", "mm/processor_view.cpp",
     "return map_range(builder, view.local_apic.base, view.local_apic.base, view.local_apic.length);",
     "return true;"),
    ("pages the jump stands on not mapped", "boot/boot_sequence.cpp",
     "if (!map_handover_pages(builder, handover)) {",
     "if (false && !map_handover_pages(builder, handover)) {"),
    ("scan line shorter than the width accepted", "platform/framebuffer.cpp",
     "info.PixelsPerScanLine < info.HorizontalResolution ||", ""),
    ("boot services used by a check failure after a refused exit", "diag/check_failure.cpp",
     "if (exit_boot_services_called()) {", "if (false && exit_boot_services_called()) {"),
    ("runtime MMIO not mapped", "mm/page_table_builder.cpp",
     "(descriptor.attribute & kMemoryRuntime) != 0 &&", "false &&"),
    ("descriptor tables not counted in the estimate", "mm/table_page_pool.cpp",
     "others.add_range(table.base, table.length);", "(void)table;"),
    ("IDT mapped at the GDT's base", "mm/processor_view.cpp",
     "descriptor_table_range(arch::read_idtr())}", "descriptor_table_range(arch::read_gdtr())}"),
    ("the boot processor's initial APIC ID from the wrong bits", "boot/platform_facts.cpp",
     "return arch::cpuid(kCpuidFeatures, 0).ebx >> 24;",
     "return arch::cpuid(kCpuidFeatures, 0).ebx >> 16;"),
    ("bit-mask pixels rounded to the wrong width", "platform/framebuffer.cpp",
     "(highest + 1 + 7) / 8 * 8", "(highest + 1) / 8 * 8"),
    ("module path not written", "boot/platform_facts.cpp",
     "write_text(entry.path, kRamdiskPath.text());", "(void)0;"),
    ("alias check off for touching ranges", "diag/checked.cpp",
     "to < checked_add(from, count) && from < checked_add(to, count)",
     "to <= checked_add(from, count) && from < checked_add(to, count)"),
    ("SecureBoot on for any non-zero byte", "firmware/secure_boot.cpp",
     "value == 1;", "value != 0;"),
    ("the sealed ramdisk's digest not compared", "boot/boot_sequence.cpp",
     "if (!ramdisk_read.matches) {", "if (false) {"),
    ("a seal with more flags than its version's taken as one", "boot/image_seal.cpp",
     "(seal.flags | kSealCommandLine) != kSealFlagsOfThisVersion",
     "(seal.flags & kSealFlagsOfThisVersion) == 0"),
    ("SHA-256 length in bytes, not bits", "crypto/sha256.cpp",
     "checked_mul(hash.total_bytes, 8)", "hash.total_bytes"),
    ("the last byte of each read piece not hashed", "firmware/file_reader.cpp",
     "sha256_add(*hash, piece, count);", "sha256_add(*hash, piece, count - 1);"),
    # The kinds of fault an independent set found slipping through: the
    # width of the addresses in entries, range edges, the pixel layout, the
    # last code point and two-unit characters, the table-page pool's requests, the map's headroom.
    ("leaf addresses cut to 48 bits", "mm/page_table_builder.cpp",
     "(physical + done * kPageSize) | kEntryFlags",
     "((physical + done * kPageSize) & 0x0000fffffffff000ull) | kEntryFlags"),
    ("a descriptor table's last byte left out", "mm/processor_view.cpp",
     "const uint64_t length = checked_add(table.limit, 1);", "const uint64_t length = table.limit;"),
    ("map headroom without room for the firmware's own", "boot/boot_sequence.cpp",
     "kMapHeadroom = 2 * kDescriptorsPerAllocation", "kMapHeadroom = kDescriptorsPerAllocation"),
    ("bit-mask channel size one short", "platform/framebuffer.cpp",
     "highest - lowest + 1", "highest - lowest"),
    ("UTF-8 last code point refused", "diag/utf8.cpp",
     "code_point > 0x10FFFF ||", "code_point >= 0x10FFFF ||"),
    ("two-unit characters counted as one", "diag/utf8.cpp",
     "return code_point >= 0x10000 ? 2 : 1;", "return code_point > 0x10000 ? 2 : 1;"),
    ("table-page pool halves its request rounding down", "mm/table_page_pool.cpp",
     "request = (request + 1) / 2;", "request = request / 2 + (request == 1);"),
    ("table-page pool keeps asking for the full request", "mm/table_page_pool.cpp",
     "request = request < wanted ? request : wanted;", "request = wanted;"),
]

# Cheapest first: a fault is caught at the first stage whose tests fail, and
# the later stages are neither built nor run. The kernel image target takes
# the test kernel as a seed.
FUZZ_TARGETS = [path.stem for path in (ROOT / "tests" / "fuzz").glob("*_fuzz.cpp")]
STAGES = [
    ("plain", ["quillmor_unit_tests", "arch_cpuid_test"], "^(unit|arch)[.]"),
    ("fuzz", ["test-kernel", *FUZZ_TARGETS], "^fuzz[.]"),
    ("sanitized", ["quillmor_unit_tests_sanitized"], "^sanitized[.]"),
]


def sync_copy(source):
    """Copies the tree's changed files with fresh times, and drops those it no longer has."""
    listing = ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"]
    names = subprocess.run(listing, cwd=ROOT, capture_output=True, check=True).stdout.decode()
    paths = {name for name in names.split("\0") if (ROOT / name).is_file()}
    for copy in source.rglob("*"):
        if copy.is_file() and str(copy.relative_to(source)) not in paths:
            copy.unlink()
    for path in paths:
        origin, copy = ROOT / path, source / path
        if not copy.is_file() or copy.read_bytes() != origin.read_bytes():
            copy.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(origin, copy)


def failing_stage(work, name):
    """The first stage whose tests fail, "" when all pass, None when a build fails."""
    for stage, targets, tests in STAGES:
        with open(work / f"{name}.{stage}.log", "w") as log:
            build = ["cmake", "--build", work / "build", "--target", *targets]
            if subprocess.run(build, stdout=log, stderr=log).returncode != 0:
                return None
            ctest = ["ctest", "--test-dir", work / "build", "-R", tests, "-j2", "--timeout", "900"]
            if subprocess.run([*ctest, "--output-on-failure"], stdout=log, stderr=log).returncode:
                return stage
    return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", type=Path, default=Path(f"/tmp/quillmor-mutants-{os.getuid()}"))
    parser.add_argument("--only", help="fault numbers, from 1, separated by commas")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        for number, (what, path, _, _) in enumerate(MUTANTS, 1):
            print(f"{number:3} {what} ({path})")
        return 0

    work = args.work.resolve()
    (work / "src").mkdir(parents=True, exist_ok=True)
    sync_copy(work / "src")
    configure = ["cmake", "-S", work / "src", "-B", work / "build", "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_C_COMPILER=clang",
                 "-DCMAKE_CXX_COMPILER=clang++"]
    subprocess.run(configure, stdout=subprocess.DEVNULL, check=True)
    if failing_stage(work, "baseline") != "":
        print(f"the unmodified tree does not build or pass: see {work}/baseline.*.log")
        return 2

    chosen = [int(n) for n in args.only.split(",")] if args.only else range(1, len(MUTANTS) + 1)
    failed = []
    for number in chosen:
        what, path, text, fault = MUTANTS[number - 1]
        target = work / "src" / path
        original = target.read_text()
        stage = "stale"
        if original.count(text) == 1:
            target.write_text(original.replace(text, fault))
            try:
                stage = failing_stage(work, f"mutant-{number}")
            finally:
                target.write_text(original)
        verdict = {None: "NOBUILD", "": "MISSED", "stale": "STALE"}.get(stage, "caught")
        where = f"see {work}/mutant-{number}.*.log"
        if verdict == "caught":
            log = (work / f"mutant-{number}.{stage}.log").read_text(errors="replace")
            where = f"at {stage} by " + ", ".join(re.findall(r"^\s+\d+ - (\S+) \(", log, re.M))
        else:
            failed.append(number)
        print(f"{number:3} {verdict:7} {what}: {where}", flush=True)

    print(f"\n{len(chosen) - len(failed)} caught; missed, stale or not building: {failed}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
