// Whole boots on the fake firmware. First one on a firmware with the quirks
// real ones have, judged by what the kernel receives: its log lines,
// the record, the region table, the tables CR3 will hold, the map keys the
// exits used. Then every failure path, driven from the firmware: each call of
// a healthy boot, at each of its occurrences, misbehaves in each way a broken
// firmware can, once (and for good where the loader works around a refusal);
// the ending each run must reach exactly, writing nothing after it, comes from
// a rule per call. A few endings need two misbehaving calls or a machine out
// of the ordinary, or no firmware can cause them; those are special cases,
// reached from preconditions or by the stage on its own. The run fails when
// a fatal message of the loader's sources is never reached.
#include "boot/boot_sequence.h"
#include "boot/handoff_record.h"
#include "boot/image_seal.h"
#include "boot/kernel_stage.h"
#include "diag/checked.h"
#include "firmware/page_ledger.h"
#include "mm/page_table_builder.h"
#include "mm/region_table.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "tests/oracle/oracle.h"
#include "tools/quillmor-seal/seal_files.h"
#include "uefi/loader_globals.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

// The machine: the fake firmware as built with the quirks real ones have, a
// kernel of two segments whose memory ends mid-page and a ramdisk read in two
// pieces.
constexpr uint64_t kKernelBase = 0xffffffff80000000ull;
const std::string kKernelFile = "\\boot\\mavotix.elf";
const std::string kRamdiskFile = "\\boot\\initrd.ustar";
const std::string kCommandLineFile = "\\boot\\cmdline.txt";

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Each of the oracle's failures fails the test.
void note_failures(void*, const char* check, const char* what, uint64_t a, uint64_t b) {
    if (what != nullptr) {
        ADD_FAILURE() << check << ": " << what << " " << hex(a) << " " << hex(b);
    }
}

// An ELF64 executable for x86-64 with 0x1800 bytes of code and data at the
// base and 0x100 bytes of data and .bss up to base + 0x4900, so the image is
// five pages of which the last is part. The bytes past the headers hold a
// pattern, so that copied data shows.
std::vector<uint8_t> kernel_file(uint64_t base = kKernelBase) {
    // Little-endian ELF64 for x86-64, version 1; its two program headers follow it.
    const Elf64_Ehdr header = {
        {0x7f, 'E', 'L', 'F', 2, 1, 1}, 2, 62, 1, base + 0x40, 64, 0, 0, 64, 56, 2, 0, 0, 0};
    const Elf64_Phdr segments[] = {
        {PT_LOAD, PF_R | PF_X, 0x200, base, 0, 0x1800, 0x1800, 0x1000},
        {PT_LOAD, PF_R | PF_W, 0x1a00, base + 0x2000, 0, 0x100, 0x2900, 0x1000}};
    std::vector<uint8_t> file(0x1b00);
    for (size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    std::memcpy(file.data(), &header, sizeof(header));
    std::memcpy(file.data() + sizeof(header), segments, sizeof(segments));
    return file;
}

// The files on the boot volume; memory the firmware accepts only when boot
// services end (so that it refuses the first exit: the map changed); flash
// its runtime services use; the processor as at power-on, its GDT in ROM, its
// IDT in reserved memory, its local APIC where PCs have it; the loader's
// handover code across a page boundary and its stack in boot-services memory;
// the loader's static tables empty.
void set_up(FakeFirmware& firmware) {
    firmware.files[kKernelFile] = kernel_file();
    firmware.files[kRamdiskFile] = std::vector<uint8_t>((1 << 20) + 1000, 0x5a); // two read pieces
    firmware.add_descriptor(EfiUnacceptedMemoryType, 0x100000000, 0x800);
    firmware.memory_map[12].Attribute |= 1ull << 63; // EFI_MEMORY_RUNTIME
    fake_arch::reset();
    fake_arch::state().cpuid[{1, 0}] = {0, 3u << 24, 0, 1u << 9};
    fake_arch::state().msrs[0x1b] = 0xfee00900;
    fake_arch::state().gdtr = {0xfffdd700, 0x37}; // in the MMIO descriptor
    fake_arch::state().idtr = {0xa0ff8, 0xfff};   // across two pages
    fake_arch::state().handover_code = {0x1400ff8, 0x1401008};
    fake_arch::state().stack_pointer = 0x10ff008;
    page_ledger().clear();
    carve_table().clear();
    quillmor_image_seal = {};
}

constexpr uint64_t kDirect = 0xffff800000000000ull;

struct Ending {
    std::optional<fake_arch::EnteredKernel> kernel; // empty: the boot stopped
    std::string log;                                // the serial bytes
    std::string text;                               // see `boot`
};

// The whole sequence from the entry, after `before` (which may stop too). Its
// ending as one line: "kernel"; "stop " and the last serial line, with
// interrupts off; or "check " and the message (with "(no exit) " when there
// was no exit) when it is shown and handed over exactly as a check failure
// must be. Anything else shows as "broken".
Ending boot(FakeFirmware& firmware, const std::function<void()>& before) {
    Ending got;
    try {
        before();
        run_boot_sequence(firmware.image_handle(), firmware.system_table());
    } catch (const fake_arch::EnteredKernel& entered) {
        got.kernel = entered;
    } catch (const fake_arch::Halted&) {
    }
    got.log = fake_arch::state().serial;
    const std::string lines = "\r\n" + got.log.substr(0, std::max<size_t>(got.log.size(), 2) - 2);
    const bool halted = fake_arch::state().halted_with_interrupts_off;
    if (got.kernel || (halted && !firmware.exit_call && firmware.console.empty())) {
        got.text = got.kernel ? "kernel" : "stop " + lines.substr(lines.rfind("\r\n") + 2);
        return got;
    }
    const std::u16string& console = firmware.console;
    const size_t start = std::min<size_t>(7, console.size()); // after "<err 4>"
    const std::u16string text = console.substr(start, console.find(u"\r\n") - start);
    const auto& exit = firmware.exit_call;
    const bool shown =
        console == u"<err 4>" + text + u"\r\n<err 15><out 4>" + text + u"\r\n<out 15>";
    const bool handed =
        !exit || (exit->status == EFI_ABORTED && exit->data == text + std::u16string(u"\r\n\0", 3));
    const bool fine = halted && shown && handed && got.log.find("装载失败") == std::string::npos;
    got.text = (fine ? "check " : "broken ") + std::string(exit ? "" : "(no exit) ") +
               std::string(text.begin(), text.end());
    return got;
}

struct Outcome {
    std::string ending;
    std::vector<std::string> also = {}; // what the log holds as well
    bool ram_mapped = true;             // false: the first reading had no descriptors
    bool regions = true;                // false: the last reading had none
    std::string command_line = "";      // what the extension block holds
    uint32_t processor = 3;             // the boot processor's ID
};
// What every boot that reaches the kernel must hand over, whatever went
// wrong on the way and was worked around: the oracle's every promise, on the
// fake firmware's final map (the one the regions come from, and the tables
// too, as every descriptor it changed keeps a mapped type), its mode when a
// framebuffer was described, its ACPI table and the page ledger; then what
// only this machine knows: which of its tables the extension block names,
// the flags, the command line and the size of the map the exit was given,
// the ramdisk's zero fill, the kernel's bytes in place, the log lines that
// name the landing area, the root and the record, and the exits' keys.
void check_handover(const Ending& got, const FakeFirmware& firmware, const Outcome& want) {
    const uint64_t handoff = got.kernel->handoff_pointer, record_page = handoff - kDirect;
    const auto& record = *reinterpret_cast<const quillmor_handoff*>(record_page);
    const auto& extension =
        *reinterpret_cast<const quillmor_extension*>(record_page + QUILLMOR_EXTENSION_OFFSET);
    // Sealed, and Secure Boot on: flags 3; sealed, off: 2; unsealed (and off): 0.
    const uint32_t flags = quillmor_image_seal.flags == 0 ? 0 : firmware.secure_boot ? 3u : 2u;
    const size_t exited_with = want.regions ? firmware.memory_map.size() : 0; // else it was empty
    EXPECT_EQ(std::tuple(extension.flags, std::string(extension.command_line_bytes),
                         extension.command_line_length, extension.memory_map_size),
              std::tuple(flags, want.command_line, want.command_line.size(),
                         exited_with * firmware.descriptor_size));
    const auto map_buffer = std::ranges::find_if(firmware.allocations, [&](const auto& block) {
        return block.first == extension.memory_map;
    });
    ASSERT_NE(map_buffer, firmware.allocations.end());
    // The ramdisk in whole pages of its own, zero after the file.
    const uint64_t ramdisk = record.modules[0].address - kDirect;
    const uint64_t ramdisk_pages = (record.modules[0].length + 0xfff) & ~0xfffull;
    EXPECT_TRUE(std::all_of(reinterpret_cast<const uint8_t*>(ramdisk) + record.modules[0].length,
                            reinterpret_cast<const uint8_t*>(ramdisk) + ramdisk_pages,
                            [](uint8_t b) { return b == 0; }));
    const std::vector<uint8_t>& kernel = firmware.files.at(kKernelFile);
    const auto ramdisk_file = std::ranges::find(
        firmware.open_files, &firmware.files.at(kRamdiskFile), &FakeFirmware::OpenFile::bytes);
    // Where this boot's kernel links: its entry is 0x40 in.
    const uint64_t base = *reinterpret_cast<const uint64_t*>(kernel.data() + 24) - 0x40;
    std::vector<oracle_descriptor> map(1); // never empty: a reading of no descriptors is known
    for (const EFI_MEMORY_DESCRIPTOR& d : firmware.memory_map) {
        map.push_back({d.Type, d.PhysicalStart, d.NumberOfPages, d.Attribute});
    }
    std::vector<oracle_range> own;
    for (uint64_t i = 0; i < page_ledger().count(); ++i) {
        own.push_back({page_ledger()[i].base, page_ledger()[i].length, 0});
    }
    const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION& info = firmware.graphics_info;
    const EFI_PIXEL_BITMASK& masks = info.PixelInformation;
    const oracle_mode mode = {static_cast<uint32_t>(info.PixelFormat),
                              {masks.RedMask, masks.GreenMask, masks.BlueMask, masks.ReservedMask},
                              info.HorizontalResolution,
                              info.VerticalResolution,
                              info.PixelsPerScanLine,
                              firmware.graphics_mode.FrameBufferBase};
    // The processor's pages and those the jump stands on, even without RAM:
    // the descriptor tables, the local APIC (when CPUID has one), the code
    // after the CR3 load, the stack from the pointer at the loader's entry
    // down 128 KiB.
    const auto& cpu = fake_arch::state();
    const uint64_t apic = cpu.msrs.contains(0x1b) && (cpu.cpuid.at({1, 0}).edx & (1u << 9)) != 0
                              ? cpu.msrs.at(0x1b) & ~0xfffull
                              : ORACLE_UNKNOWN;
    const uint64_t stack = cpu.stack_pointer, window = std::min<uint64_t>(stack, 128 << 10);
    const oracle_handover handover = {
        .rdi = handoff,
        .cr3 = got.kernel->page_table_root,
        .rsp = ORACLE_UNKNOWN,
        .levels = (cpu.cr4 & (1u << 12)) != 0 ? 5u : 4u,
        .pinned = {{cpu.gdtr.base, cpu.gdtr.limit + 1ull, 0},
                   {cpu.idtr.base, cpu.idtr.limit + 1ull, 0},
                   {cpu.handover_code.start, cpu.handover_code.end - cpu.handover_code.start, 0},
                   {stack - window, window, 0},
                   {apic, 4096, 0}},
        .pinned_count = apic != ORACLE_UNKNOWN ? 5u : 4u,
        // What the extension block points to: the map buffer, the RSDP, the
        // SMBIOS entry points.
        .direct = {{map_buffer->first, map_buffer->second, 0},
                   {reinterpret_cast<uint64_t>(firmware.acpi_tables[1]), 36, 0},
                   {extension.smbios3_entry, 24, 0},
                   {extension.smbios_entry, 31, 0}},
        .direct_count = 4,
        .kernel_virtual_base = base,
        .kernel_image_size = 0x5000,
        .processor_id = want.processor,
        .first_map = want.ram_mapped ? map.data() + 1 : map.data(),
        .last_map = want.regions ? map.data() + 1 : map.data(),
        .first_count = want.ram_mapped ? static_cast<uint32_t>(map.size() - 1) : 0,
        .last_count = want.regions ? static_cast<uint32_t>(map.size() - 1) : 0,
        .own = own.data(),
        .own_count = static_cast<uint32_t>(own.size()),
        .mode = &mode,
        .mode_known = record.framebuffer_count != 0,
        .acpi_root = reinterpret_cast<uint64_t>(firmware.acpi_tables[1]),
        .ramdisk_length = ramdisk_file->told_size, // as GetInfo gave it
        .note = note_failures,
    };
    oracle_check_handover(&handover);

    EXPECT_TRUE(std::equal(kernel.begin() + 0x200, kernel.begin() + 0x1a00,
                           reinterpret_cast<uint8_t*>(record.kernel_physical_base)));
    EXPECT_EQ(got.kernel->entry_point, base + 0x40);
    for (const std::string& line :
         {"落点=" + hex(record.kernel_physical_base) + " → " + hex(base) + "\r\n",
          "=" + hex(got.kernel->page_table_root) + "\r\n"}) {
        EXPECT_NE(got.log.find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(got.log.ends_with(
        "\r\n[quillmor] 退出引导服务，交接给内核（交接结构=" + hex(handoff) + "）\r\n"));
    const std::vector<UINTN>& keys = firmware.exit_boot_services_keys;
    EXPECT_TRUE(keys.back() == firmware.map_key &&
                (keys.size() == 1 || keys.end()[-2] == firmware.map_key - 1));
}

const std::string kFatal = "stop [quillmor] 装载失败：";
const std::string kNoFramebuffer = " 帧缓冲=0\r\n";
Outcome fatal(const std::string& message, std::vector<std::string> also = {}) {
    return {kFatal + message, also};
}

// Occurrences in a healthy boot: OpenProtocol for the loaded image, the file
// system, the graphics; File.* for the kernel, then the ramdisk (two Reads);
// AllocatePool for the map; AllocatePages for the two files, the landing
// area, the record, the table root, the table pool; GetMemoryMap for the size
// query and three readings of the 14 descriptors; ExitBootServices twice.
Outcome expected(const Fault& f) {
    const int at = f.occurrence;
    const std::string &s = f.shape, &call = f.call;
    const bool too_small = s == "Status" && f.status == EFI_BUFFER_TOO_SMALL;
    if (call == "OpenProtocol") {
        const uint64_t handles[] = {0x1a1a000, 0xdede000, 0x6f6f000}; // the fake's
        const std::string unexpected =
            s != "Status" || f.status == EFI_UNSUPPORTED
                ? ""
                : "[quillmor] 取协议失败（Unexpected）句柄=" + hex(handles[at]) + "\r\n";
        return at == 2
                   ? Outcome{"kernel", {kNoFramebuffer, unexpected}}
                   : fatal(at == 0 ? "取已装载映像协议失败" : "取文件系统协议失败", {unexpected});
    }
    if (call == "File.Open") { // the command line's: only "not found" means absent
        const std::string files[] = {kKernelFile, kRamdiskFile, kCommandLineFile};
        return at == 2 && f.status == EFI_NOT_FOUND
                   ? Outcome{"kernel"}
                   : Outcome{"stop [quillmor] 打不开：" + files[at]};
    }
    if (call == "File.GetInfo") { // a short kernel's last segment ends past the file
        return s == "Short" ? (at == 0 ? Outcome{"stop [quillmor] 内核映像不合规：SegmentOutOfFile"}
                                       : Outcome{"kernel", {"initrd.ustar 1049575 字节"}})
               : s == "Long"      ? fatal("读文件失败")
               : s == "Unchanged" ? fatal("文件为空") // a record never written
               : too_small        ? fatal("文件信息超出预期缓冲")
                                  : fatal("取文件信息失败");
    }
    if (call == "AllocatePool" || call == "AllocatePages") {
        // After a refusal the table pool asks for half; only a firmware that
        // keeps refusing leaves it dry.
        const char* messages[] = {"分配文件缓冲失败", "分配文件缓冲失败", "内核落点分配失败",
                                  "交接结构分配失败", "页表根分配失败"};
        return s == "PastTop"           ? Outcome{"check integer overflow"}
               : call == "AllocatePool" ? (s == "Misaligned" ? Outcome{"check incorrect alignment"}
                                                             : fatal("分配内存图缓冲失败"))
               : at < 5                 ? fatal(messages[at])
               : f.sticky
                   ? fatal("内存区映射失败", {"恒等映射失败 base=0x0 len=0x1000 类型=3 表耗尽=1"})
                   : Outcome{"kernel"};
    }
    if (call == "LocateHandle") {
        return s == "SizeOdd" ? Outcome{"check exact division produced remainder"}
                              : Outcome{"kernel", {kNoFramebuffer}};
    }
    if (call == "GetMemoryMap") { // the last, a second reading after the refused exit
        const char* failed[] = {"取内存图信息失败", "取内存图内容失败",
                                "取内存图内容失败（第二轮）"};
        // No stride written; 24-byte descriptors: the last of 14 would end
        // at 13 * 24 + 40; a reading past the buffer for the 14 and the
        // headroom of 136. After the refused exit no boot service may be
        // called: a check failure ends as a fatal stop.
        const std::string check = s == "Unchanged"  ? "division by zero"
                                  : s == "Overfull" ? "index out of bounds: index 7201, len 7200"
                                                    : "index out of bounds: index 352, len 336";
        if (s == "Status") {
            return at == 0 && too_small ? Outcome{"kernel"} : fatal(failed[std::min(at, 2)]);
        }
        return s == "SizeZero" // nothing mapped, or regions of no descriptors
                   ? Outcome{"kernel", {at == 2 ? "[quillmor] 内存区=0 " : ""}, at != 1, at != 3}
                   : at == 0 && s != "Unchanged" ? Outcome{"kernel"}
                     : at == 3                   ? fatal(check)
                                                 : Outcome{"check " + check};
    }
    // The first exit is refused anyway, as the map changes, and retried
    // after the map is read again; the watchdog's status is of no
    // consequence.
    return call == "File.Read"                                   ? fatal("读文件失败")
           : call == "OpenVolume"                                ? fatal("打开引导卷失败")
           : call == "ExitBootServices" && (f.sticky || at == 1) ? fatal("退出引导服务失败")
                                                                 : Outcome{"kernel"};
}

// Every message the loader passes to fatal_stop, from its sources.
std::set<std::string> fatal_messages_in_sources() {
    std::set<std::string> messages;
    FILE* grep = popen("cd '" QUILLMOR_SOURCE_DIR "' && grep -rhoP 'fatal_stop\\(\"\\K[^\"]*' "
                       "boot diag firmware elf mm platform",
                       "r");
    for (char line[256]; std::fgets(line, sizeof(line), grep) != nullptr;) {
        messages.insert(std::string(line, std::strcspn(line, "\n")));
    }
    pclose(grep);
    return messages;
}

using Arrange = std::function<void(FakeFirmware&)>;

Arrange loader_at(uint64_t image_base, uint64_t image_size, uint64_t stack_pointer) {
    return [=](FakeFirmware& firmware) {
        firmware.loaded_image.ImageBase = reinterpret_cast<void*>(image_base);
        firmware.loaded_image.ImageSize = image_size;
        fake_arch::state().stack_pointer = stack_pointer;
    };
}

Arrange regions(uint64_t more) { // neighbours of two types never merge
    return [=](FakeFirmware& firmware) {
        for (uint64_t i = 0; i < more; ++i) {
            firmware.add_descriptor(7 + 2 * (i % 2), 0x100000000 + i * 4096, 1);
        }
    };
}

Arrange framebuffer_ending_at(uint64_t end) {
    return [=](FakeFirmware& fw) { fw.graphics_mode.FrameBufferBase = end - 792 * 4096; };
}

// Descriptor tables without an identity address, and no local APIC.
void tables_high(FakeFirmware&) {
    fake_arch::state().gdtr = fake_arch::state().idtr = {1ull << 47, 0xfff};
    fake_arch::state().cpuid[{1, 0}].edx = 0;
}

Arrange stage_with_full(uint32_t quillmor_handoff::*count, uint32_t full) {
    return [=](FakeFirmware&) {
        auto record = std::make_unique<quillmor_handoff>(handoff_template());
        (*record).*count = full;
        add_record_entries(*record, 0x100000, 1000);
    };
}

// What quillmor-seal writes: the image sealed with the volume's files as they
// are now. Then the firmware's SecureBoot variable set, and a byte of the
// kernel (`change` 1) or the ramdisk's last byte (2) changed. `flags` with
// kSealCommandLine seal the command-line file too; any flag of a later
// version makes it a seal of another format.
Arrange sealed(std::optional<uint8_t> secure_boot, int change = 0,
               uint32_t flags = kSealKernel | kSealRamdisk) {
    return [=](FakeFirmware& fw) {
        const bool line = (flags & kSealCommandLine) != 0;
        quillmor_image_seal = seal_files(fw.files.at(kKernelFile), fw.files.at(kRamdiskFile),
                                         line ? &fw.files.at(kCommandLineFile) : nullptr);
        quillmor_image_seal.flags |= flags;
        fw.secure_boot = secure_boot;
        change == 1 ? void(fw.files[kKernelFile][0x1000] ^= 1) : void();
        change == 2 ? void(fw.files[kRamdiskFile].back() ^= 0x80) : void();
    };
}

void landing_a_page_short(FakeFirmware&) {
    const std::vector<uint8_t> file = kernel_file();
    const FileBytes bytes = {reinterpret_cast<uint64_t>(file.data()), file.size()};
    const LoadPlan plan = plan_kernel(bytes).value();
    std::vector<uint8_t> landing(plan.image_size);
    load_kernel_or_stop(bytes, plan, {address_of(landing.data()), plan.image_size - 4096});
}

TEST(BootFaults, EveryMisbehaviourOfEveryCallEndsWhereItsRuleSays) {
    std::set<std::string> reached; // the endings
    std::string last_log;
    const auto run = [&](const std::string& what, const Outcome& want,
                         const std::vector<Fault>& faults, const Arrange& arrange = nullptr,
                         uint64_t arena_bytes = 4 << 20) {
        SCOPED_TRACE(what);
        FakeFirmware firmware(arena_bytes);
        set_up(firmware);
        firmware.faults = faults;
        const Ending got = boot(firmware, [&] { arrange ? arrange(firmware) : void(); });
        for (const std::string& text : want.also) {
            EXPECT_NE(got.log.find(text), std::string::npos) << "no " << text << " in\n" << got.log;
        }
        EXPECT_EQ(got.text, want.ending);
        if (got.kernel) {
            check_handover(got, firmware, want);
        }
        EXPECT_TRUE(got.log.empty() || got.log.ends_with("\r\n")); // empty: failed at once
        last_log = got.log;
        // Nothing between the reading whose key left boot services and the exit.
        const auto reading =
            std::find(firmware.calls.rbegin(), firmware.calls.rend(), "GetMemoryMap");
        EXPECT_TRUE(!got.kernel ||
                    std::count(firmware.calls.rbegin(), reading, "ExitBootServices") ==
                        reading - firmware.calls.rbegin());
        const bool fatal_stop = want.ending.starts_with(kFatal);
        reached.insert(fatal_stop ? want.ending.substr(kFatal.size()) : want.ending);
        return firmware.calls;
    };
    const std::vector<std::string> healthy_calls =
        run("a healthy boot",
            {"kernel",
             {"[quillmor] 读入 \\boot\\mavotix.elf 6912 字节\r\n",
              "[quillmor] 读入 \\boot\\initrd.ustar 1049576 字节\r\n",
              "[quillmor] 内核入口=" + hex(kKernelBase + 0x40) + " 段=2 映像=20480 字节，落点=",
              "[quillmor] 页表就绪 PML4=",
              "[quillmor] 第二轮内存图 段数=14\r\n[quillmor] 切割区间=2\r\n[quillmor] 内存区=15 ",
              " 帧缓冲=1\r\n"}},
            {});

    const std::map<std::string, std::vector<std::string>> shapes = {
        {"SetWatchdogTimer", {"Status"}},
        {"OpenProtocol", {"Status", "Unchanged"}},
        {"OpenVolume", {"Status", "Unchanged"}},
        {"File.Open", {"Status", "Unchanged"}},
        {"File.GetInfo", {"Status", "Unchanged", "Short", "Long"}},
        {"File.Read", {"Status"}},
        {"AllocatePool", {"Status", "Unchanged", "Misaligned", "PastTop"}},
        {"AllocatePages", {"Status", "Unchanged", "Misaligned", "PastTop"}},
        {"GetMemoryMap", {"Status", "Unchanged", "SizeZero", "StrideSmall", "Overfull"}},
        {"LocateHandle", {"Status", "Unchanged", "SizeZero", "SizeOdd"}},
        {"ExitBootServices", {"Status"}},
        {"GetVariable", {"Status", "Unchanged"}}, // SecureBoot unread means off
    };
    // "Too small", "unsupported" and "not found" each mean something to some
    // call; a warning is no success either.
    const EFI_STATUS statuses[] = {EFI_DEVICE_ERROR, EFI_BUFFER_TOO_SMALL, EFI_UNSUPPORTED,
                                   EFI_NOT_FOUND, 1 /* a warning */};
    // Every status for a failing call, else one; for good where refusals are worked around.
    for (const auto& [call, call_shapes] : shapes) {
        const auto occurrences = std::count(healthy_calls.begin(), healthy_calls.end(), call);
        ASSERT_GT(occurrences, 0) << call;
        const bool retried = call == "AllocatePages" || call == "ExitBootServices";
        for (int at = 0; at < occurrences; ++at) {
            for (const std::string& shape : call_shapes) {
                for (size_t i = 0; i < (shape == "Status" ? std::size(statuses) : 1); ++i) {
                    for (int sticky = 0; sticky <= (shape == "Status" && retried); ++sticky) {
                        const std::string what = call + "#" + std::to_string(at) + " " + shape +
                                                 " " + hex(statuses[i]) +
                                                 (sticky ? " for good" : "");
                        const Fault fault = {call, at, shape, statuses[i], sticky != 0};
                        run(what, expected(fault), {fault});
                    }
                }
            }
        }
    }

    const auto special = [&](const std::string& what, const Outcome& want, const Arrange& arrange) {
        run(what, want, {}, arrange);
    };
    special("no boot services in the system table", fatal("没有引导服务"),
            [](FakeFirmware& fw) { fw.system_table()->BootServices = nullptr; });
    // Sealed boot. A sealed image whose files match logs what an unsealed
    // one does, byte for byte; a changed file stops right after its line.
    // Only a SecureBoot of the one byte 1 means on.
    const std::string volume = "引导卷已打开\r\n";
    special("unsealed, a SecureBoot of 2", {"kernel"},
            [](FakeFirmware& fw) { fw.secure_boot = 2; });
    const std::string unsealed_log = last_log; // the same stack and arena as the sealed boots
    special("Secure Boot on, the image unsealed",
            fatal("安全启动要求封存散列", {"\r\n[quillmor] " + volume + kFatal.substr(5)}),
            [](FakeFirmware& fw) { fw.secure_boot = 1; });
    special("Secure Boot on, a seal with a flag of a later version", fatal("安全启动要求封存散列"),
            sealed(1, 0, kSealKernel | kSealRamdisk | 1u << 3));
    special("Secure Boot on, a seal of a later version", fatal("安全启动要求封存散列"),
            [](FakeFirmware& fw) { sealed(1)(fw), quillmor_image_seal.version += 1; });
    special("sealed, Secure Boot on, the files as sealed", {"kernel"}, sealed(1));
    EXPECT_EQ(last_log, unsealed_log);
    special("sealed, a byte of the kernel changed",
            fatal("内核散列不符", {volume + "[quillmor] 读入 \\boot\\mavotix.elf 6912 字节\r\n" +
                                   kFatal.substr(5)}),
            sealed(std::nullopt, 1));
    special("sealed, Secure Boot on, the ramdisk's last byte changed",
            fatal("内存盘散列不符", {"initrd.ustar 1049576 字节\r\n" + kFatal.substr(5)}),
            sealed(1, 2));
    // The command line: the load options converted to UTF-8, else the file
    // byte for byte, else empty; 2047 bytes at most; text or nothing.
    const auto line = [](const std::string& text) {
        return Outcome{.ending = "kernel", .command_line = text};
    };
    const auto command_line = [](const std::u16string& options, const std::string& file) {
        return [=](FakeFirmware& fw) {
            fw.loaded_image.LoadOptions = const_cast<char16_t*>(options.data());
            fw.loaded_image.LoadOptionsSize = static_cast<uint32_t>(2 * options.size());
            file.empty() ? void()
                         : void(fw.files[kCommandLineFile].assign(file.begin(), file.end()));
        };
    };
    const std::tuple<std::u16string, std::string, Outcome> lines[] = {
        // The last code point of each UTF-8 length and the first of the next;
        // pairs with the last low and the last high surrogate; nothing from
        // the NUL on.
        {std::u16string(u"\u007f\u0080\u07ff\u0800\uffff\U00010000\U000103ff\U0010ffff\0ignored",
                        19),
         "x", line("\u007f\u0080\u07ff\u0800\uffff\U00010000\U000103ff\U0010ffff")},
        // No load options: the file, byte for byte.
        {u"",
         "a b\n",
         {"kernel", {"[quillmor] 读入 \\boot\\cmdline.txt 4 字节\r\n"}, true, true, "a b\n"}},
        {std::u16string(2047, u'o'), "", line(std::string(2047, 'o'))},
        // The last character two bytes of UTF-8.
        {std::u16string(2046, u'o') + u"é", "", fatal("命令行过长")},
        {u"", std::string(2048, 'f'), fatal("命令行过长")},
        {std::u16string{u'a', char16_t{0xd800}, u'b'}, "", fatal("命令行不是有效文本")},
        {u"", "a\xc3", fatal("命令行不是有效文本")},
    };
    for (const auto& [options, file, want] : lines) {
        special("a command line", want, command_line(options, file));
    }
    // A sealed image takes only the file it was sealed with (or none).
    const Arrange seal_with_line = sealed(std::nullopt, 0, kSealFlagsOfThisVersion);
    special("sealed with the file: the load options ignored, the file as sealed", line("sealed"),
            [&](FakeFirmware& fw) { command_line(u"options", "sealed")(fw), seal_with_line(fw); });
    special("sealed without a file, a file on the volume", fatal("命令行散列不符"),
            [&](FakeFirmware& fw) { command_line(u"", "unsealed")(fw), sealed(std::nullopt)(fw); });
    // The kernel's image is five pages; the stack is the 128 KiB below the
    // stack pointer's page, and that page.
    special("the loader image's last byte where the kernel links",
            fatal("内核链接地址与引导加载器重叠"), loader_at(kKernelBase + 0x4fff, 1, 0));
    special("the loader stack where the kernel links", fatal("内核链接地址与引导加载器重叠"),
            loader_at(0, 0, kKernelBase + 0x24fff));
    // Its stages run deeper than the entry: that the kernel starts on the
    // entry's page shows only from the entry.
    special("the loader's entry stack pointer 8 bytes into the kernel",
            fatal("内核链接地址与引导加载器重叠"), loader_at(0, 0, kKernelBase + 8));
    special("the loader image just clear of the kernel", {"kernel"},
            loader_at(kKernelBase - 0x10000, 0x10000, 0x10ff008));
    // A kernel linked in the direct map, which holds the fake's framebuffer
    // of 792 pages at 2 GiB.
    const auto kernel_at = [](uint64_t base) {
        return [=](FakeFirmware& fw) { fw.files[kKernelFile] = kernel_file(base); };
    };
    special("a kernel linked from the framebuffer's last page in the direct map",
            fatal("内核链接地址与直接映射重叠"), kernel_at(kDirect + 0x80000000 + 791 * 4096));
    special("a kernel linked right after the framebuffer in the direct map", {"kernel"},
            kernel_at(kDirect + 0x80000000 + 792 * 4096));
    special("runtime MMIO at 2^47, which has no identity address", {"kernel"},
            [](FakeFirmware& fw) {
                fw.add_descriptor(EfiMemoryMappedIO, 1ull << 47, 16);
                fw.memory_map.back().Attribute = 1ull << 63;
            });
    special("runtime MMIO from a page below 2^47 past it", {"kernel"}, [](FakeFirmware& fw) {
        fw.add_descriptor(EfiMemoryMappedIO, (1ull << 47) - 4096, 2);
        fw.memory_map.back().Attribute = 1ull << 63;
    });
    special("a GDT ending exactly at 2^47", {"kernel"}, [](FakeFirmware&) {
        fake_arch::state().gdtr = {(1ull << 47) - 4096, 0xfff};
    });
    // The healthy boot's 15 regions and as many more as fill the table.
    special("512 regions", {"kernel"}, regions(497));
    special("513 regions", fatal("内存区表满"), regions(498));
    special("five-level paging left on", {"kernel", {"[quillmor] 页表就绪 PML5="}},
            [](FakeFirmware&) { fake_arch::state().cr4 = 1u << 12; });
    special("the loader's pages listed as free", fatal("自己占的页落在可用区里"),
            [](FakeFirmware& fw) { fw.memory_map[11].Type = EfiConventionalMemory; });
    // Free memory that ends where the loader's first pages start touches them only.
    special("free memory right below the loader's pages", {"kernel"}, [](FakeFirmware& fw) {
        fw.add_descriptor(EfiConventionalMemory, fw.arena_base() - 4096, 1);
    });
    // The descriptor tables' last byte is base + limit: here the first of a page.
    special("an IDT whose last byte opens a page", {"kernel"}, [](FakeFirmware&) {
        fake_arch::state().idtr = {0xa0ff8, 0x1008};
    });
    // The framebuffer as the mode describes it, every field (the pixel
    // layout too) as the oracle derives it; none where the mode has no
    // linear framebuffer the direct map can hold (which ends at 2^47).
    const auto mode = [](uint32_t format, EFI_PIXEL_BITMASK masks, uint32_t width = 1024,
                         uint32_t per_line = 1056) -> Arrange {
        return [=](FakeFirmware& fw) {
            fw.graphics_info.PixelFormat = static_cast<EFI_GRAPHICS_PIXEL_FORMAT>(format);
            fw.graphics_info.PixelInformation = masks;
            fw.graphics_info.HorizontalResolution = width;
            fw.graphics_info.PixelsPerScanLine = per_line;
        };
    };
    const uint32_t bgr = PixelBlueGreenRedReserved8BitPerColor;
    const std::tuple<std::string, Arrange, bool> modes[] = {
        {"RGB", mode(PixelRedGreenBlueReserved8BitPerColor, {}), true},
        {"5:6:5 bit masks", mode(PixelBitMask, {0xf800, 0x07e0, 0x001f, 0}), true},
        {"nine bits a pixel", mode(PixelBitMask, {0x1c0, 0x038, 0x007, 0}), true},
        {"10:10:10:2 bit masks", mode(PixelBitMask, {0x3ff, 0xffc00, 0x3ff00000, 0xc0000000}),
         true},
        {"bit masks without a bit", mode(PixelBitMask, {}), false},
        {"zero width", mode(bgr, {}, 0), false},
        {"zero height", [](FakeFirmware& fw) { fw.graphics_info.VerticalResolution = 0; }, false},
        {"a scan line a pixel short of a line", mode(bgr, {}, 1024, 1023), false},
        {"a framebuffer ending at 2^47", framebuffer_ending_at(1ull << 47), false},
        {"a framebuffer ending a page below 2^47", framebuffer_ending_at((1ull << 47) - 4096),
         true},
    };
    for (const auto& [what, arrange, shown] : modes) {
        special("graphics: " + what, {"kernel", {shown ? " 帧缓冲=1\r\n" : kNoFramebuffer}},
                arrange);
    }
    special("a pitch past 32 bits", {"check integer overflow"},
            [](FakeFirmware& fw) { fw.graphics_info.PixelsPerScanLine = 1 << 30; });
    special("precondition: the page ledger full", fatal("分配文件缓冲失败"), [](FakeFirmware&) {
        for (uint64_t i = 0; i < PageLedger::kCapacity; ++i) {
            ledger_add(0x100000000 + 2 * i * kPageSize, kPageSize);
        }
    });
    special("precondition: the carve table one short of full", fatal("切分区表满"),
            [](FakeFirmware&) {
                for (uint64_t i = 0; i + 1 < CarveTable::kCapacity; ++i) {
                    add_carve_interval(0x100000000 + i, 1, KernelAndModules);
                }
            });
    special("stage: the processor table full", fatal("CPU 表满"),
            stage_with_full(&quillmor_handoff::processor_count, 64));
    special("stage: the module table full", fatal("模块表满"),
            stage_with_full(&quillmor_handoff::module_count, 4));
    special("stage: the landing area a page short", fatal("内核段拷贝失败"), landing_a_page_short);
    // The checks whose failure no firmware answer can bring about, from the
    // loader's own calls at its entry; touching ranges do not overlap.
    const auto calling = [](const std::function<void()>& call) {
        return [=](FakeFirmware& fw) {
            set_loader_globals(fw.image_handle(), fw.system_table());
            call();
        };
    };
    uint64_t words[4] = {};
    special("a range whose start is past its end",
            {"check start index 5 is larger than end index 3"},
            calling([] { check_range(5, 3, 10); }));
    special("a copy a word onto itself", {"check @memcpy arguments alias"},
            calling([&] { copy_bytes(words + 1, words, 16); }));
    special("a copy right after its source", {"kernel"},
            calling([&] { copy_bytes(words + 2, words, 16); }));
    special("a present table entry without a table", {"check cast causes pointer to be null"},
            calling([] {
                PageTableBuilder builder = create_page_table_root();
                pointer_at<uint64_t>(builder.root)[0] = 0x3;
                map_range(builder, 0x1000, 0x1000, 4096);
            }));
    // The boot processor: the x2APIC ID of leaf 0x0B (0x12345) where the
    // highest basic leaf lists it and its EBX shows topology, else the
    // initial APIC ID of leaf 1 (3).
    for (const auto& [max_leaf, topology, id] :
         {std::tuple{0x0Bu, 2u, 0x12345u}, {0x0Au, 1u, 3u}, {0x16u, 0xFFFF0000u, 3u}}) {
        special("CPUID to leaf " + hex(max_leaf) + ", leaf 0x0B EBX " + hex(topology),
                {.ending = "kernel", .processor = id},
                [leaf = max_leaf, ebx = topology](FakeFirmware&) {
                    fake_arch::state().cpuid[{0, 0}] = {leaf, 0, 0, 0};
                    fake_arch::state().cpuid[{0x0B, 0}] = {1, ebx, 0x100, 0x12345};
                });
    }
    // Boot services gone from the system table after a call are noticed by
    // the next call that looks them up there (the sequence keeps its own
    // pointer for GetMemoryMap and ExitBootServices): framebuffer discovery
    // cannot even exit.
    run("boot services gone after the map's reading", {"check (no exit) attempt to use null value"},
        {{"GetMemoryMap", 1, "Gone"}});
    run("a check failure whose exit data cannot be had",
        {"check (no exit) exact division produced remainder"},
        {{"LocateHandle", 0, "SizeOdd"}, {"AllocatePool", 1}});
    // No RAM in the first reading and the table pool refused for good: the
    // tables fail at the descriptor tables, or (above 2^47, so not mapped,
    // and no APIC) at the kernel; with a quarter of the pages granted, at the
    // framebuffer; with half, at the pages the jump stands on.
    const Fault empty = {"GetMemoryMap", 1, "SizeZero"};
    const Fault refused = {"AllocatePages", 5, "Status", EFI_OUT_OF_RESOURCES, true};
    run("no RAM, no table pages", fatal("描述符表映射失败"), {empty, refused});
    run("no RAM, no table pages, tables high", fatal("内核映像映射失败"), {empty, refused},
        tables_high);
    run("no RAM, a quarter of the table pages, tables high", fatal("帧缓冲映射失败"),
        {empty,
         {"AllocatePages", 5},
         {"AllocatePages", 6},
         {"AllocatePages", 8, "Status", 1, true}},
        tables_high);
    run("no RAM, half the table pages, tables high", fatal("交接页映射失败"),
        {empty, {"AllocatePages", 5}, {"AllocatePages", 7, "Status", 1, true}}, tables_high);
    // A firmware that grants 70 pages at most, with 1663 table pages to find
    // (a framebuffer of 3 GB): the pool asks for halves, rounded up, down to
    // a 32nd of what it needs, 52 pages, and takes all its 32 runs (rounded
    // down, they would come 31 pages short). And the firmware adds as
    // many descriptors of its own after the size query as the map buffer
    // must have room for: two for each allocation after it (the map buffer,
    // the table root, the 32 runs), doubled.
    run(
        "a firmware of small pieces that allocates for itself",
        {"kernel", {"第二轮内存图 段数=150\r\n"}}, {},
        [](FakeFirmware& fw) {
            fw.largest_allocation = 70 * 4096;
            fw.own_growth = 136;
            fw.files[kRamdiskFile].resize(1000);
            fw.graphics_info.VerticalResolution = 765000;
            fw.graphics_mode.FrameBufferBase = 1ull << 40;
        },
        8 << 20);

    for (const std::string& message : fatal_messages_in_sources()) {
        EXPECT_TRUE(reached.contains(message)) << "no case reaches " << message;
    }
}

} // namespace
