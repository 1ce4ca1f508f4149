// Every failure path of a whole boot, driven from the firmware: each call of
// a healthy boot, at each of its occurrences, misbehaves in each way a broken
// firmware can, once (and for good where the loader works around a refusal).
// The ending each run must reach exactly, writing nothing after it, comes
// from a rule per call. A few endings need two misbehaving calls or a
// machine out of the ordinary, or no firmware can cause them; those are
// special cases, reached from preconditions or by the stage on its own. The
// run prints every ending with what reached it and fails when a fatal
// message of the loader's sources is never reached.
#include "boot/handoff_record.h"
#include "boot/kernel_stage.h"
#include "diag/checked.h"
#include "tests/unit/boot_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>

namespace {

using namespace machine;

const std::string kFatal = "[quillmor] 装载失败：";
const std::string kNoFramebuffer = " 帧缓冲=0\r\n";

struct Outcome {
    enum Kind { Kernel, Stop, Check, CheckWithoutExit } kind;
    std::string text;              // the last line of a stop, or the check message
    std::vector<std::string> also; // what the log holds as well
};
Outcome boots(std::vector<std::string> also = {}) {
    return {Outcome::Kernel, "", also};
}
Outcome stop(const std::string& line, std::vector<std::string> also = {}) {
    return {Outcome::Stop, line, also};
}
Outcome fatal(const std::string& message, std::vector<std::string> also = {}) {
    return stop(kFatal + message, also);
}
Outcome check(const std::string& message, Outcome::Kind kind = Outcome::Check) {
    return {kind, message, {}};
}
Outcome bounds(uint64_t index, uint64_t length) {
    return check("index out of bounds: index " + std::to_string(index) + ", len " +
                 std::to_string(length));
}

std::vector<std::string> healthy_calls; // in order

Outcome expected(const Fault& f);

// Boot services gone from the system table are noticed by the next call
// that looks them up there (the sequence keeps its own pointer for
// GetMemoryMap and ExitBootServices): a lookup logs it, an allocation fails
// for good, framebuffer discovery finds them missing and cannot exit.
Outcome after_boot_services_gone(const Fault& f) {
    std::map<std::string, int> seen;
    std::vector<std::string> also;
    bool past = false;
    for (const std::string& call : healthy_calls) {
        const int at = seen[call]++;
        if (!past) {
            past = call == f.call && at == f.occurrence;
        } else if (call == "LocateHandle") {
            return check("attempt to use null value", Outcome::CheckWithoutExit);
        } else if (call == "OpenProtocol") {
            also.push_back("[quillmor] 取协议时引导服务已不可用");
            if (at < 2) {
                return fatal(at == 0 ? "取已装载映像协议失败" : "取文件系统协议失败", also);
            }
        } else if (call == "AllocatePool" || call == "AllocatePages") {
            Outcome o = expected({call, at, "Status", EFI_OUT_OF_RESOURCES, true});
            o.also.insert(o.also.end(), also.begin(), also.end());
            return o;
        }
    }
    return boots(also);
}

// Occurrences in a healthy boot: OpenProtocol for the loaded image, the file
// system, the graphics; File.* for the kernel, then the ramdisk (two Reads);
// AllocatePool for the two files and the map; AllocatePages for the landing
// area, the record, the table root, the table pool; GetMemoryMap for the size
// query and two readings of the 13 descriptors.
Outcome expected(const Fault& f) {
    const int at = f.occurrence;
    const std::string& s = f.shape;
    const std::string& call = f.call;
    const bool status = s == "Status", too_small = status && f.status == EFI_BUFFER_TOO_SMALL;
    if (s == "Gone") {
        return after_boot_services_gone(f);
    }
    if (call == "OpenProtocol") {
        const uint64_t handles[] = {0x1a1a000, 0xdede000, 0x6f6f000}; // the fake's
        std::vector<std::string> also = {at == 2 ? kNoFramebuffer : ""};
        if (status && f.status != EFI_UNSUPPORTED) {
            also.push_back("[quillmor] 取协议失败（Unexpected）句柄=" + hex(handles[at]) + "\r\n");
        }
        return at == 2 ? boots(also)
                       : fatal(at == 0 ? "取已装载映像协议失败" : "取文件系统协议失败", also);
    }
    if (call == "File.Open") {
        return stop("[quillmor] 打不开：" + (at == 0 ? kKernelFile : kRamdiskFile));
    }
    if (call == "File.GetInfo" && s == "Short") { // the kernel's last segment ends past it
        return at == 0 ? stop("[quillmor] 内核映像不合规：SegmentOutOfFile")
                       : boots({"initrd.ustar " + std::to_string(kReadPiece + 999) + " 字节"});
    }
    if (call == "File.GetInfo") {
        return fatal(too_small || s == "SizeHuge" ? "文件信息超出预期缓冲"
                     : status                     ? "取文件信息失败"
                     : s == "PastTop"             ? "分配文件缓冲失败"
                     : s == "Long"                ? "读文件失败"
                                                  : "文件为空"); // a record never written
    }
    if (call == "File.Read") {
        const uint64_t asked = at == 0 ? kernel_file().size() : at == 1 ? kReadPiece : 1000;
        return s == "Short"  ? boots()
               : s == "Long" ? bounds(asked + 1, asked)
               : s == "Unchanged" // bytes never delivered: the pool's contents
                   ? (at == 0 ? stop("[quillmor] 内核映像不合规：NotElf64") : boots())
                   : fatal("读文件失败");
    }
    if (call == "AllocatePool") {
        return s == "PastTop"      ? check("integer overflow")
               : s == "Misaligned" ? (at < 2 ? boots() : check("incorrect alignment"))
                                   : fatal(at < 2 ? "分配文件缓冲失败" : "分配内存图缓冲失败");
    }
    if (call == "AllocatePages") {
        // After a refusal the table pool asks for half; only a firmware that
        // keeps refusing leaves it dry.
        const char* messages[] = {"内核落点分配失败", "交接结构分配失败", "页表根分配失败"};
        return s == "PastTop" ? check("integer overflow")
               : at < 3       ? fatal(messages[at])
               : f.sticky
                   ? fatal("内存区映射失败", {"恒等映射失败 base=0x0 len=0x1000 类型=3 表耗尽=1"})
                   : boots();
    }
    if (call == "LocateHandle") {
        return s == "SizeOdd"    ? check("exact division produced remainder")
               : s == "SizeHuge" ? bounds(65, 64)
                                 : boots({kNoFramebuffer});
    }
    if (call == "GetMemoryMap") {
        const bool query = at == 0;
        const uint64_t capacity = (13 + 136) * 48;
        const char* failed[] = {"取内存图信息失败", "取内存图内容失败",
                                "取内存图内容失败（第二轮）"};
        return status           ? (query && too_small ? boots() : fatal(failed[at]))
               : s == "SizeOdd" ? check("exact division produced remainder")
               : s == "SizeZero" ? boots({at == 2 ? "[quillmor] 内存区=0 " : ""}) // nothing mapped
               : s == "SizeHuge"
                   ? (query ? fatal("分配内存图缓冲失败") : bounds(48ull << 30, capacity))
               : s == "PastTop"
                   ? (query ? check("integer overflow") : bounds(~0ull / 48 * 48, capacity))
               : s == "StrideSmall" ? (query ? boots() : bounds(12 * 24 + 40, 13 * 24))
                                    : check("division by zero"); // no stride
    }
    // ExitBootServices is retried once after the map is read again; the
    // watchdog's status is of no consequence.
    return call == "OpenVolume"                     ? fatal("打开引导卷失败")
           : call == "ExitBootServices" && f.sticky ? fatal("退出引导服务失败")
                                                    : boots();
}

// Judges a run; returns the message it ended with ("" for the kernel).
std::string judge(const Outcome& want, const Ending& got, const FakeFirmware& firmware) {
    for (const std::string& text : want.also) {
        EXPECT_NE(got.log.find(text), std::string::npos) << "no " << text << " in\n" << got.log;
    }
    EXPECT_TRUE(got.log.ends_with("\r\n"));
    EXPECT_EQ(got.kernel.has_value(), want.kind == Outcome::Kernel) << got.last_line;
    if (want.kind == Outcome::Kernel) {
        EXPECT_TRUE(got.last_line.starts_with("[quillmor] 退出引导服务，交接给内核"));
        // Nothing between the reading whose key left boot services and the exit.
        const auto reading =
            std::find(firmware.calls.rbegin(), firmware.calls.rend(), "GetMemoryMap");
        EXPECT_EQ(std::count(firmware.calls.rbegin(), reading, "ExitBootServices"),
                  reading - firmware.calls.rbegin());
        return "";
    }
    EXPECT_TRUE(fake_arch::state().halted_with_interrupts_off);
    if (want.kind == Outcome::Stop) {
        EXPECT_EQ(got.last_line, want.text);
        EXPECT_TRUE(!firmware.exit_call && firmware.console.empty());
        return want.text.starts_with(kFatal) ? want.text.substr(kFatal.size()) : want.text;
    }
    const std::u16string text(want.text.begin(), want.text.end());
    EXPECT_EQ(got.log.find(kFatal), std::string::npos);
    EXPECT_EQ(firmware.console,
              u"<err 4>" + text + u"\r\n<err 15><out 4>" + text + u"\r\n<out 15>");
    EXPECT_EQ(firmware.exit_call.has_value(), want.kind == Outcome::Check);
    if (firmware.exit_call) {
        EXPECT_EQ(firmware.exit_call->status, EFI_ABORTED);
        EXPECT_EQ(firmware.exit_call->data, text + std::u16string(u"\r\n\0", 3));
        EXPECT_EQ(firmware.exit_call->data_size, 2 * (text.size() + 3));
    }
    return want.text;
}

// Every message the loader passes to fatal_stop, from its sources.
std::set<std::string> fatal_messages_in_sources() {
    std::set<std::string> messages;
    const std::regex call("fatal_stop\\(\"([^\"]*)\"\\)");
    for (const char* folder : {"boot", "diag", "firmware", "elf", "mm", "platform"}) {
        for (const auto& file :
             std::filesystem::directory_iterator(std::string(QUILLMOR_SOURCE_DIR "/") + folder)) {
            std::ifstream in(file.path());
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
                messages.insert((*it)[1]);
            }
        }
    }
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

Arrange framebuffer_ending_at(uint64_t end) { // the framebuffer has 792 pages
    return [=](FakeFirmware& fw) { fw.graphics_mode.FrameBufferBase = end - 792 * 4096; };
}

void tables_high(FakeFirmware&) {
    fake_arch::state().gdtr = fake_arch::state().idtr = {1ull << 47, 0xfff};
}

Arrange stage_with_full(uint32_t quillmor_handoff::*count, uint32_t full) {
    return [=](FakeFirmware&) {
        auto record = std::make_unique<quillmor_handoff>(handoff_template());
        (*record).*count = full;
        add_record_entries(*record, 0x100000, 1000);
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
    std::map<std::string, std::vector<std::string>> reached; // ending -> what reached it
    size_t runs = 0;
    const auto run = [&](const std::string& what, const Outcome& want,
                         const std::vector<Fault>& faults, const Arrange& arrange = nullptr) {
        SCOPED_TRACE(what);
        FakeFirmware firmware;
        set_up(firmware);
        firmware.faults = faults;
        const Ending ending = boot(firmware, [&] { arrange ? arrange(firmware) : void(); });
        const std::string message = judge(want, ending, firmware);
        reached[message.empty() ? "(the kernel)" : message].push_back(what);
        ++runs;
        return firmware.calls;
    };
    healthy_calls = run("a healthy boot", boots(), {});

    const std::map<std::string, std::vector<std::string>> shapes = {
        {"SetWatchdogTimer", {"Status", "Gone"}},
        {"OpenProtocol", {"Status", "NullOut", "Unchanged", "Gone"}},
        {"OpenVolume", {"Status", "NullOut", "Unchanged", "Gone"}},
        {"File.Open", {"Status", "NullOut", "Unchanged", "Gone"}},
        {"File.GetInfo",
         {"Status", "Unchanged", "SizeZero", "SizeHuge", "Short", "Long", "PastTop", "Gone"}},
        {"File.Read", {"Status", "Unchanged", "SizeZero", "Short", "Long", "Gone"}},
        {"AllocatePool", {"Status", "NullOut", "Unchanged", "Misaligned", "PastTop", "Gone"}},
        {"AllocatePages", {"Status", "NullOut", "Unchanged", "Misaligned", "PastTop", "Gone"}},
        {"GetMemoryMap",
         {"Status", "Unchanged", "SizeZero", "SizeHuge", "SizeOdd", "StrideZero", "StrideSmall",
          "PastTop", "Gone"}},
        {"LocateHandle",
         {"Status", "NullOut", "Unchanged", "SizeZero", "SizeHuge", "SizeOdd", "Gone"}},
        {"ExitBootServices", {"Status"}},
    };
    const EFI_STATUS statuses[] = {EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR,  EFI_INVALID_PARAMETER,
                                   EFI_BUFFER_TOO_SMALL, EFI_UNSUPPORTED,   EFI_NOT_FOUND,
                                   EFI_ACCESS_DENIED,    1 /* a warning */, EFI_ERROR_BIT | 0x7ff};
    size_t cases = 0;
    for (const auto& [call, call_shapes] : shapes) {
        const auto occurrences = std::count(healthy_calls.begin(), healthy_calls.end(), call);
        ASSERT_GT(occurrences, 0) << call;
        const bool retried = call == "AllocatePages" || call == "ExitBootServices";
        for (int at = 0; at < occurrences; ++at) {
            for (const std::string& shape : call_shapes) {
                for (const EFI_STATUS status : statuses) {
                    for (const bool sticky : {false, true}) {
                        const Fault fault = {call, at, shape, status, sticky};
                        if ((shape == "Status" || status == statuses[0]) &&
                            (!sticky || (shape == "Status" && retried))) {
                            char what[96];
                            std::snprintf(what, sizeof(what), "%s#%d %s %#llx%s", call.c_str(), at,
                                          shape.c_str(), static_cast<unsigned long long>(status),
                                          sticky ? " for good" : "");
                            run(what, expected(fault), {fault});
                            ++cases;
                        }
                    }
                }
            }
        }
    }

    // The special cases.
    const auto special = [&](const std::string& what, const Outcome& want, const Arrange& arrange) {
        run(what, want, {}, arrange);
    };
    special("no boot services in the system table", fatal("没有引导服务"),
            [](FakeFirmware& fw) { fw.system_table()->BootServices = nullptr; });
    special("no watchdog", boots(),
            [](FakeFirmware& fw) { fw.boot_services().SetWatchdogTimer = nullptr; });
    // The kernel's image is five pages; the stack is the 128 KiB below the
    // stack pointer's page, and that page.
    special("the loader image's last byte where the kernel links",
            fatal("内核链接地址与引导加载器重叠"), loader_at(kKernelBase + 0x4fff, 1, 0));
    special("the loader stack where the kernel links", fatal("内核链接地址与引导加载器重叠"),
            loader_at(0, 0, kKernelBase + 0x24fff));
    special("the loader image and stack just clear of the kernel", boots(),
            loader_at(kKernelBase - 0x10000, 0x10000, kKernelBase + 0x25000));
    // The healthy boot's 16 regions and as many more as fill the table.
    special("512 regions", boots(), regions(496));
    special("513 regions", fatal("内存区表满"), regions(497));
    special("the loader's pages listed as free", fatal("自己占的页落在可用区里"),
            [](FakeFirmware& fw) { fw.memory_map[11].Type = EfiConventionalMemory; });
    special("graphics without a mode", boots({kNoFramebuffer}),
            [](FakeFirmware& fw) { fw.graphics.Mode = nullptr; });
    special("graphics of zero width", boots({kNoFramebuffer}),
            [](FakeFirmware& fw) { fw.graphics_info.HorizontalResolution = 0; });
    special("graphics for Blt only", boots({kNoFramebuffer}),
            [](FakeFirmware& fw) { fw.graphics_info.PixelFormat = PixelBltOnly; });
    // The direct map holds physical memory below 2^47.
    special("a framebuffer ending at 2^47", boots({kNoFramebuffer}),
            framebuffer_ending_at(1ull << 47));
    special("a framebuffer ending a page below 2^47", boots({" 帧缓冲=1\r\n"}),
            framebuffer_ending_at((1ull << 47) - 4096));
    special("a pitch past 32 bits", check("integer overflow"),
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
    run("exit refused, then the map unreadable", fatal("取内存图内容失败（第二轮）"),
        {{"ExitBootServices", 0}, {"GetMemoryMap", 3}});
    run("a check failure whose exit data cannot be had",
        check("exact division produced remainder", Outcome::CheckWithoutExit),
        {{"LocateHandle", 0, "SizeOdd"}, {"AllocatePool", 3}});
    // No RAM in the first reading and the table pool refused for good: the
    // tables fail at the descriptor tables, or (above 2^47, so not mapped)
    // at the kernel; with four of seven pages granted, one short of the
    // framebuffer.
    const Fault empty = {"GetMemoryMap", 1, "SizeZero"};
    const Fault refused = {"AllocatePages", 3, "Status", EFI_OUT_OF_RESOURCES, true};
    run("no RAM, no table pages", fatal("描述符表映射失败"), {empty, refused});
    run("no RAM, no table pages, tables high", fatal("内核映像映射失败"), {empty, refused},
        tables_high);
    run("no RAM, four table pages, tables high", fatal("帧缓冲映射失败"),
        {empty, {"AllocatePages", 3}, {"AllocatePages", 5, "Status", 1, true}}, tables_high);

    std::printf("%zu cases from the rules and %zu more. Each ending, how often, and its first "
                "case:\n",
                cases, runs - cases);
    for (const auto& [ending, by] : reached) {
        std::printf("  %s: %zu, %s\n", ending.c_str(), by.size(), by.front().c_str());
    }
    for (const std::string& message : fatal_messages_in_sources()) {
        EXPECT_TRUE(reached.contains(message)) << "no case reaches " << message;
    }
}

} // namespace
