// Every failure path of a whole boot, driven from the firmware: each call of
// a healthy boot, at each of its occurrences, misbehaves in each way a broken
// firmware can, once (and, for the calls the loader retries around, for
// good). The expected ending comes from a rule per call; every run must end
// exactly there and write nothing after it. A few endings no firmware can
// cause are reached from preconditions. The run prints every fatal message of
// the loader's sources with what reached it, and fails when one is missing.
#include "boot/handoff_record.h"
#include "boot/kernel_stage.h"
#include "diag/checked.h"
#include "tests/unit/boot_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace {

using namespace machine;
using enum Shape;

constexpr uint64_t kMapHeadroom = 136;
const std::string kFatal = "[quillmor] 装载失败：";
const std::string kGoneLine = "[quillmor] 取协议时引导服务已不可用";

struct Outcome {
    enum Kind { Kernel, Stop, Check } kind;
    std::string text;              // the last line of a stop, or the check message
    std::vector<std::string> also; // texts the log holds as well
    bool exits = true;             // a check failure hands its message to Exit
};

Outcome boots(std::vector<std::string> also = {}) {
    return {Outcome::Kernel, "", std::move(also)};
}
Outcome fatal(const std::string& message, std::vector<std::string> also = {}) {
    return {Outcome::Stop, kFatal + message, std::move(also)};
}
Outcome line(const std::string& text, std::vector<std::string> also = {}) {
    return {Outcome::Stop, text, std::move(also)};
}
Outcome check(const std::string& message) {
    return {Outcome::Check, message, {}};
}

std::string dec(uint64_t value) {
    return std::to_string(value);
}

// What a healthy boot calls, in order; filled by the first case.
std::vector<std::string> healthy_calls;
size_t map_descriptors;

Outcome expected(const Fault& f);

// Boot services that vanish from the system table are noticed by the next
// call that looks them up there (the sequence keeps its own pointer for
// GetMemoryMap and ExitBootServices): a lookup logs it, an allocation fails
// for good, and framebuffer discovery finds them missing.
Outcome after_boot_services_gone(const Fault& f) {
    std::map<std::string, int> seen;
    std::vector<std::string> also;
    bool past = false;
    for (const std::string& call : healthy_calls) {
        const int at = seen[call]++;
        if (!past) {
            past = call == f.call && at == f.occurrence;
            continue;
        }
        if (call == "LocateHandle") {
            Outcome o = check("attempt to use null value");
            o.exits = false;
            return o;
        }
        if (call == "OpenProtocol") {
            also.push_back(kGoneLine);
            if (at < 2) {
                return fatal(at == 0 ? "取已装载映像协议失败" : "取文件系统协议失败", also);
            }
        }
        if (call == "AllocatePool" || call == "AllocatePages") {
            Outcome o = expected({call, at, Status, EFI_OUT_OF_RESOURCES, true});
            o.also.insert(o.also.end(), also.begin(), also.end());
            return o;
        }
    }
    return boots(also);
}

// The rule per call. Occurrences in a healthy boot: OpenProtocol for the
// loaded image, the file system and the graphics; File.* for the kernel, then
// the ramdisk (read in two pieces); AllocatePool for the two files and the
// memory map; AllocatePages for the landing area, the record, the table root
// and the table-page pool; GetMemoryMap for the size query and two readings.
Outcome expected(const Fault& f) {
    const std::string& call = f.call;
    const int at = f.occurrence;
    const Shape s = f.shape;
    if (s == Gone) {
        return after_boot_services_gone(f);
    }
    if (call == "SetWatchdogTimer") {
        return boots(); // its status is of no consequence
    }
    if (call == "OpenProtocol") {
        const EFI_HANDLE handles[] = {reinterpret_cast<EFI_HANDLE>(0x1a1a000),
                                      reinterpret_cast<EFI_HANDLE>(0xdede000),
                                      reinterpret_cast<EFI_HANDLE>(0x6f6f000)};
        std::vector<std::string> logged;
        if (s == Status && f.status != EFI_UNSUPPORTED) {
            logged = {"[quillmor] 取协议失败（Unexpected）句柄=" +
                      hex(reinterpret_cast<uint64_t>(handles[at])) + "\r\n"};
        }
        if (at == 2) { // graphics: a mode that is of no use means no framebuffer
            if (s == PitchPast32Bits) {
                return check("integer overflow");
            }
            logged.push_back(" 帧缓冲=0\r\n");
            return boots(logged);
        }
        if (s >= NoMode) {
            return boots();
        }
        return fatal(at == 0 ? "取已装载映像协议失败" : "取文件系统协议失败", logged);
    }
    if (call == "OpenVolume") {
        return fatal("打开引导卷失败");
    }
    const std::string& path = at == 0 ? kKernelFile : kRamdiskFile;
    if (call == "File.Open") {
        return line("[quillmor] 打不开：" + path);
    }
    if (call == "File.GetInfo") {
        switch (s) {
        case Status:
            return fatal(f.status == EFI_BUFFER_TOO_SMALL ? "文件信息超出预期缓冲"
                                                          : "取文件信息失败");
        case SizeHuge:
            return fatal("文件信息超出预期缓冲");
        case PastTop:
            return fatal("分配文件缓冲失败");
        case Long:
            return fatal("读文件失败");
        case Short: // the kernel's last segment then ends past the file
            return at == 0 ? line("[quillmor] 内核映像不合规：SegmentOutOfFile")
                           : boots({"initrd.ustar " + dec(kReadPiece + 999) + " 字节"});
        default: // a record left unwritten reads as an empty file
            return fatal("文件为空");
        }
    }
    if (call == "File.Read") {
        const uint64_t asked = at == 0 ? kernel_file().size() : at == 1 ? kReadPiece : 1000;
        switch (s) {
        case Short:
            return boots();
        case Long:
            return check("index out of bounds: index " + dec(asked + 1) + ", len " + dec(asked));
        case Unchanged: // bytes never delivered: the pool's contents
            return at == 0 ? line("[quillmor] 内核映像不合规：NotElf64") : boots();
        default:
            return fatal("读文件失败");
        }
    }
    if (call == "AllocatePool") {
        if (s == PastTop) {
            return check("integer overflow");
        }
        if (s == Misaligned) { // only the memory map is read as structures
            return at < 2 ? boots() : check("incorrect alignment");
        }
        return fatal(at < 2 ? "分配文件缓冲失败" : "分配内存图缓冲失败");
    }
    if (call == "AllocatePages") {
        const char* messages[] = {"内核落点分配失败", "交接结构分配失败", "页表根分配失败"};
        if (s == PastTop) {
            return check("integer overflow");
        }
        if (at < 3) {
            return fatal(messages[at]);
        }
        // The pool asks for half as much after a refusal; a firmware that
        // keeps refusing leaves it dry at the first table page.
        if (!f.sticky) {
            return boots();
        }
        return fatal("内存区映射失败", {"恒等映射失败 base=0x0 len=0x1000 类型=3 表耗尽=1\r\n"});
    }
    if (call == "LocateHandle") {
        if (s == SizeOdd) {
            return check("exact division produced remainder");
        }
        if (s == SizeHuge) {
            return check("index out of bounds: index 65, len 64");
        }
        return boots({" 帧缓冲=0\r\n"});
    }
    if (call == "GetMemoryMap") {
        const uint64_t capacity = (map_descriptors + kMapHeadroom) * 48;
        const char* failed[] = {"取内存图信息失败", "取内存图内容失败",
                                "取内存图内容失败（第二轮）"};
        const uint64_t sizes[] = {uint64_t{48} << 30, ~uint64_t{0} / 48 * 48};
        switch (s) {
        case Status:
            return at == 0 && f.status == EFI_BUFFER_TOO_SMALL ? boots() : fatal(failed[at]);
        case Unchanged:
        case StrideZero:
            return check("division by zero");
        case SizeOdd:
            return check("exact division produced remainder");
        case SizeHuge:
        case PastTop:
            if (at == 0) {
                return s == SizeHuge ? fatal("分配内存图缓冲失败") : check("integer overflow");
            }
            return check("index out of bounds: index " + dec(sizes[s == PastTop]) + ", len " +
                         dec(capacity));
        case StrideSmall: // 24-byte strides: the last descriptor's fields lie past the map
            return at == 0 ? boots()
                           : check("index out of bounds: index " +
                                   dec((map_descriptors - 1) * 24 + 40) + ", len " +
                                   dec(map_descriptors * 24));
        case OwnAsFree:
            return at == 2 ? fatal("自己占的页落在可用区里") : boots();
        default: // an empty map: nothing mapped, or no regions
            return boots({at == 2 ? "[quillmor] 内存区=0 " : ""});
        }
    }
    // ExitBootServices: after a refusal the map is read again and the exit
    // tried once more.
    return f.sticky ? fatal("退出引导服务失败") : boots();
}

// Judges one run against its expected ending; returns the ending's message
// (the fatal message, the own line, or the check message).
std::string judge(const Outcome& want, const Ending& got, const FakeFirmware& firmware) {
    const std::string& log = got.log;
    for (const std::string& text : want.also) {
        EXPECT_NE(log.find(text), std::string::npos) << "the log lacks: " << text << "\n" << log;
    }
    const auto& events = fake_arch::events();
    const bool halted = events.size() >= 2 &&
                        events[events.size() - 2].kind == fake_arch::EventKind::DisableInterrupts &&
                        events.back().kind == fake_arch::EventKind::Halt;
    EXPECT_TRUE(log.ends_with("\r\n")) << log;
    switch (want.kind) {
    case Outcome::Kernel: {
        EXPECT_TRUE(got.kernel.has_value()) << "stopped at: " << got.last_line;
        EXPECT_TRUE(got.last_line.starts_with("[quillmor] 退出引导服务，交接给内核"))
            << got.last_line;
        // Nothing between the reading whose key left boot services and the exit.
        const auto last_reading =
            std::find(firmware.calls.rbegin(), firmware.calls.rend(), "GetMemoryMap");
        EXPECT_EQ(std::count(firmware.calls.rbegin(), last_reading, "ExitBootServices"),
                  last_reading - firmware.calls.rbegin());
        return "";
    }
    case Outcome::Stop:
        EXPECT_FALSE(got.kernel.has_value());
        EXPECT_EQ(got.last_line, want.text) << log;
        EXPECT_TRUE(halted && !firmware.exit_call && firmware.console.empty());
        return want.text.starts_with(kFatal) ? want.text.substr(kFatal.size()) : want.text;
    case Outcome::Check: {
        EXPECT_FALSE(got.kernel.has_value());
        EXPECT_EQ(log.find(kFatal), std::string::npos) << log;
        const std::u16string text(want.text.begin(), want.text.end());
        EXPECT_EQ(firmware.console,
                  u"<err 4>" + text + u"\r\n<err 15><out 4>" + text + u"\r\n<out 15>");
        EXPECT_EQ(firmware.exit_call.has_value(), want.exits);
        if (firmware.exit_call && want.exits) {
            EXPECT_EQ(firmware.exit_call->status, EFI_ABORTED);
            EXPECT_EQ(firmware.exit_call->data, text + std::u16string(u"\r\n\0", 3));
            EXPECT_EQ(firmware.exit_call->data_size, 2 * (text.size() + 3));
        }
        EXPECT_TRUE(halted);
        return want.text;
    }
    }
    return "";
}

std::string describe(const std::vector<Fault>& faults) {
    std::ostringstream out;
    for (const Fault& f : faults) {
        const char* names[] = {
            "Status",    "NullOut",  "Unchanged",       "Misaligned",     "PastTop",
            "SizeZero",  "SizeHuge", "SizeOdd",         "StrideZero",     "StrideSmall",
            "Short",     "Long",     "OwnAsFree",       "Gone",           "NoMode",
            "ZeroWidth", "BltOnly",  "HighFramebuffer", "PitchPast32Bits"};
        out << f.call << "#" << f.occurrence << " " << names[static_cast<int>(f.shape)];
        if (f.shape == Status) {
            out << " 0x" << std::hex << f.status << std::dec << (f.sticky ? " for good" : "");
        }
        out << "; ";
    }
    return out.str();
}

// Endings that need more than one misbehaving call, or that the loader's own
// code rules out in a whole boot and are reached from a precondition.
struct Special {
    const char* what;
    std::vector<Fault> faults;
    std::function<void(FakeFirmware&)> arrange;
    Outcome outcome;
    std::function<void()> stage = nullptr; // run instead of a whole boot
};

// A stage run on its own, with a fresh record.
std::function<void()> with_record(std::function<void(quillmor_handoff&)> stage) {
    return [stage] {
        auto record = std::make_unique<quillmor_handoff>(handoff_template());
        stage(*record);
    };
}

const Fault kFirstReadingEmpty = {"GetMemoryMap", 1, SizeZero};
const Fault kNoTablePages = {"AllocatePages", 3, Status, EFI_OUT_OF_RESOURCES, true};

std::vector<Special> special_cases() {
    return {
        {"no boot services in the system table",
         {},
         [](FakeFirmware& fw) { fw.system_table()->BootServices = nullptr; },
         fatal("没有引导服务")},
        {"a firmware without a watchdog",
         {},
         [](FakeFirmware& fw) { fw.boot_services().SetWatchdogTimer = nullptr; },
         boots()},
        {"a loader image where the kernel links",
         {},
         [](FakeFirmware& fw) {
             fw.loaded_image.ImageBase = reinterpret_cast<void*>(kKernelBase + 0x4fff);
             fw.loaded_image.ImageSize = 1;
         },
         fatal("内核链接地址与引导加载器重叠")},
        {"a loader stack where the kernel links",
         {},
         [](FakeFirmware&) { fake_arch::registers().stack_pointer = kKernelBase + 0x24fff; },
         fatal("内核链接地址与引导加载器重叠")},
        {"a memory map of 600 descriptors that do not merge",
         {},
         [](FakeFirmware& fw) {
             for (uint64_t i = 0; i < 600; ++i) {
                 fw.add_descriptor(i % 2 ? EfiConventionalMemory : EfiACPIReclaimMemory,
                                   0x100000000 + i * 4096, 1);
             }
         },
         fatal("内存区表满")},
        {"exit refused, then the map cannot be read again",
         {{"ExitBootServices", 0}, {"GetMemoryMap", 3}},
         nullptr,
         fatal("取内存图内容失败（第二轮）")},
        {"no RAM in the first reading, no table pages",
         {kFirstReadingEmpty, kNoTablePages},
         nullptr,
         fatal("描述符表映射失败")},
        {"as before, descriptor tables above 2^47",
         {kFirstReadingEmpty, kNoTablePages},
         [](FakeFirmware&) {
             fake_arch::registers().gdtr = fake_arch::registers().idtr = {1ull << 47, 0xfff};
         },
         fatal("内核映像映射失败")},
        // Seven table pages wanted: a refusal, then four granted, then
        // refusals: three pages for the kernel, one short of the framebuffer.
        {"as before, the table pool one page short of the framebuffer",
         {kFirstReadingEmpty,
          {"AllocatePages", 3},
          {"AllocatePages", 5, Status, EFI_DEVICE_ERROR, true}},
         [](FakeFirmware&) {
             fake_arch::registers().gdtr = fake_arch::registers().idtr = {1ull << 47, 0xfff};
         },
         fatal("帧缓冲映射失败")},
        {"a check failure whose exit data cannot be had",
         {{"LocateHandle", 0, SizeOdd}, {"AllocatePool", 3}},
         nullptr,
         [] {
             Outcome o = check("exact division produced remainder");
             o.exits = false;
             return o;
         }()},
        // Preconditions: the loader's static tables already full.
        {"precondition: the page ledger full",
         {},
         [](FakeFirmware&) {
             for (uint64_t i = 0; i < PageLedger::kCapacity; ++i) {
                 ledger_add(0x100000000 + 2 * i * kPageSize, kPageSize);
             }
         },
         fatal("分配文件缓冲失败")},
        {"precondition: the carve table one short of full",
         {},
         [](FakeFirmware&) {
             for (uint64_t i = 0; i + 1 < CarveTable::kCapacity; ++i) {
                 add_carve_interval(0x100000000 + i, 1, KernelAndModules);
             }
         },
         fatal("切分区表满")},
        // Stages on their own: in a whole boot the record is fresh and the
        // landing area exactly the image's size.
        {"stage: the processor table full",
         {},
         nullptr,
         fatal("CPU 表满"),
         with_record([](quillmor_handoff& record) {
             record.processor_count = QUILLMOR_MAX_PROCESSORS;
             add_record_entries(record, 0x100000, 1000);
         })},
        {"stage: the module table full",
         {},
         nullptr,
         fatal("模块表满"),
         with_record([](quillmor_handoff& record) {
             record.module_count = QUILLMOR_MAX_MODULES;
             add_record_entries(record, 0x100000, 1000);
         })},
        {"stage: a landing area one page short",
         {},
         nullptr,
         fatal("内核段拷贝失败"),
         [] {
             const std::vector<uint8_t> file = kernel_file();
             const FileBytes bytes = {reinterpret_cast<uint64_t>(file.data()), file.size()};
             const LoadPlan plan = plan_kernel(bytes).value();
             std::vector<uint8_t> landing(plan.image_size);
             load_kernel_or_stop(
                 bytes, plan,
                 {reinterpret_cast<uint64_t>(landing.data()), plan.image_size - kPageSize});
         }},
    };
}

// Every message the loader passes to fatal_stop, from its sources.
std::set<std::string> fatal_messages_in_sources() {
    std::set<std::string> messages;
    const std::regex call("fatal_stop\\(\"([^\"]*)\"\\)");
    for (const char* folder : {"boot", "diag", "firmware", "elf", "mm", "platform"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(QUILLMOR_SOURCE_DIR) + "/" + folder)) {
            std::ifstream in(entry.path());
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
                messages.insert((*it)[1]);
            }
        }
    }
    return messages;
}

TEST(BootFaults, EveryMisbehaviourOfEveryCallEndsWhereItsRuleSays) {
    std::map<std::string, std::vector<std::string>> reached; // message -> what reached it
    const auto run = [&](const std::string& what, const std::vector<Fault>& faults,
                         const std::function<void(FakeFirmware&)>& arrange, const Outcome& want) {
        SCOPED_TRACE(what);
        FakeFirmware firmware;
        set_up(firmware);
        power_on();
        firmware.faults = faults;
        if (arrange) {
            arrange(firmware);
        }
        const Ending got = boot(firmware);
        const std::string message = judge(want, got, firmware);
        if (!message.empty()) {
            reached[message].push_back(what);
        }
        return firmware.occurrences;
    };

    // The healthy boot: what it calls, and how often.
    {
        FakeFirmware firmware;
        set_up(firmware);
        power_on();
        map_descriptors = firmware.memory_map.size();
        ASSERT_TRUE(boot(firmware).kernel.has_value());
        healthy_calls = firmware.calls;
    }
    std::map<std::string, int> occurrences;
    for (const std::string& call : healthy_calls) {
        ++occurrences[call];
    }

    const std::map<std::string, std::vector<Shape>> shapes = {
        {"SetWatchdogTimer", {Status, Gone}},
        {"OpenProtocol",
         {Status, NullOut, Unchanged, Gone, NoMode, ZeroWidth, BltOnly, HighFramebuffer,
          PitchPast32Bits}},
        {"OpenVolume", {Status, NullOut, Unchanged, Gone}},
        {"File.Open", {Status, NullOut, Unchanged, Gone}},
        {"File.GetInfo", {Status, Unchanged, SizeZero, SizeHuge, Short, Long, PastTop, Gone}},
        {"File.Read", {Status, Unchanged, SizeZero, Short, Long, Gone}},
        {"AllocatePool", {Status, NullOut, Unchanged, Misaligned, PastTop, Gone}},
        {"AllocatePages", {Status, Unchanged, Misaligned, PastTop, Gone}},
        {"GetMemoryMap",
         {Status, Unchanged, SizeZero, SizeHuge, SizeOdd, StrideZero, StrideSmall, PastTop,
          OwnAsFree, Gone}},
        {"LocateHandle", {Status, NullOut, Unchanged, SizeZero, SizeHuge, SizeOdd, Gone}},
        {"ExitBootServices", {Status}},
    };
    const EFI_STATUS statuses[] = {EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR,  EFI_INVALID_PARAMETER,
                                   EFI_BUFFER_TOO_SMALL, EFI_UNSUPPORTED,   EFI_NOT_FOUND,
                                   EFI_ACCESS_DENIED,    1 /* a warning */, EFI_ERROR_BIT | 0x7ff};
    size_t cases = 0;
    for (const auto& [call, call_shapes] : shapes) {
        ASSERT_TRUE(occurrences.contains(call)) << call;
        for (int at = 0; at < occurrences[call]; ++at) {
            for (const Shape shape : call_shapes) {
                for (const EFI_STATUS status : statuses) {
                    for (const bool sticky : {false, true}) {
                        if ((shape != Status && status != statuses[0]) ||
                            (sticky && (shape != Status ||
                                        (call != "AllocatePages" && call != "ExitBootServices")))) {
                            continue;
                        }
                        const std::vector<Fault> faults = {{call, at, shape, status, sticky}};
                        run(describe(faults), faults, nullptr, expected(faults[0]));
                        ++cases;
                    }
                }
            }
        }
    }
    for (const Special& special : special_cases()) {
        if (!special.stage) {
            run(special.what, special.faults, special.arrange, special.outcome);
        } else {
            SCOPED_TRACE(special.what);
            fake_arch::reset();
            EXPECT_THROW(special.stage(), fake_arch::Halted);
            EXPECT_EQ(fake_arch::serial_output(), special.outcome.text + "\r\n");
            reached[special.outcome.text.substr(kFatal.size())].push_back(special.what);
        }
        ++cases;
    }

    std::printf("%zu cases. Endings reached, and by what (the first of each):\n", cases);
    for (const auto& [message, by] : reached) {
        std::printf("  %s: %zu, e.g. %s\n", message.c_str(), by.size(), by.front().c_str());
    }
    for (const std::string& message : fatal_messages_in_sources()) {
        EXPECT_TRUE(reached.contains(message)) << "no case reaches " << message;
    }
}

} // namespace
