#include "boot/boot_sequence.h"
#include "tests/unit/elf_image_builder.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const std::string kVolumeOpened = "[quillmor] 引导卷已打开\r\n";

constexpr EFI_GUID kLoadedImageGuid = {
    0x5b1b31a1, 0x9562, 0x11d2, {0x8e, 0x3f, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};
constexpr EFI_GUID kFileSystemGuid = {
    0x964e5b22, 0x6459, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};

std::string fatal(const std::string& message) {
    return "[quillmor] 装载失败：" + message + "\r\n";
}

class FirstStagesTest : public LoaderTest {
  protected:
    // Runs the sequence from the entry, which must end in a halt; returns the log.
    std::string boot_until_halt() {
        set_loader_globals(nullptr, nullptr); // the sequence stores them itself
        expect_halt(
            [this] { run_boot_sequence(firmware.image_handle(), firmware.system_table()); });
        return serial();
    }
};

TEST_F(FirstStagesTest, OpensTheBootVolumeAndThenReadsTheKernel) {
    EXPECT_EQ(boot_until_halt(),
              kBanner + kVolumeOpened + "[quillmor] 打不开：\\boot\\mavotix.elf\r\n");
    std::vector<uint16_t> ports;
    for (const auto& write : fake_arch::port_writes()) {
        ports.push_back(write.port);
    }
    ports.resize(7); // the UART is programmed before anything is written
    EXPECT_EQ(ports, (std::vector<uint16_t>{0x3F9, 0x3FB, 0x3F8, 0x3F9, 0x3FB, 0x3FA, 0x3FC}));
    EXPECT_EQ(firmware.calls, (Calls{"SetWatchdogTimer", "OpenProtocol", "OpenProtocol",
                                     "OpenVolume", "File.Open"}));
    EXPECT_EQ(firmware.watchdog_calls, (std::vector<std::vector<uint64_t>>{{0, 0, 0, 0}}));

    const auto& lookups = firmware.open_protocol_calls;
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[0].handle, firmware.image_handle());
    EXPECT_TRUE(lookups[0].protocol == kLoadedImageGuid);
    EXPECT_EQ(lookups[1].handle, firmware.device_handle());
    EXPECT_TRUE(lookups[1].protocol == kFileSystemGuid);
    for (const OpenProtocolCall& lookup : lookups) {
        EXPECT_EQ(lookup.agent, firmware.image_handle());
        EXPECT_EQ(lookup.controller, nullptr);
        EXPECT_EQ(lookup.attributes, 1u);
    }
}

TEST_F(FirstStagesTest, FirmwareWithoutAWatchdogIsNotAskedToStopIt) {
    firmware.boot_services().SetWatchdogTimer = nullptr;
    boot_until_halt();
    EXPECT_EQ(firmware.calls.front(), "OpenProtocol");
}

struct StageFailure {
    const char* name;
    std::function<void(FakeFirmware&)> setup;
    std::string log; // everything after the banner
};

class FirstStageFailureTest : public FirstStagesTest,
                              public ::testing::WithParamInterface<StageFailure> {};

TEST_P(FirstStageFailureTest, EndsInItsOwnLinesAndHalts) {
    GetParam().setup(firmware);
    EXPECT_EQ(boot_until_halt(), kBanner + GetParam().log);
    const auto& events = fake_arch::events();
    EXPECT_EQ(events[events.size() - 2].kind, fake_arch::EventKind::DisableInterrupts);
}

// The loaded image (on the image handle) or the file system (on the device
// handle) answers its lookup with `status`, and with no interface if asked.
std::function<void(FakeFirmware&)> lookup(bool file_system, EFI_STATUS status,
                                          bool null_interface = false) {
    return [=](FakeFirmware& fw) {
        if (file_system) {
            fw.set_protocol(fw.device_handle(), EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID,
                            null_interface ? nullptr : &fw.file_system, status);
        } else {
            fw.set_protocol(fw.image_handle(), EFI_LOADED_IMAGE_PROTOCOL_GUID,
                            null_interface ? nullptr : &fw.loaded_image, status);
        }
    };
}

const std::string kNoImage = fatal("取已装载映像协议失败");
const std::string kNoFileSystem = fatal("取文件系统协议失败");

INSTANTIATE_TEST_SUITE_P(
    Stages, FirstStageFailureTest,
    ::testing::Values(
        StageFailure{"NoBootServices",
                     [](FakeFirmware& fw) { fw.system_table()->BootServices = nullptr; },
                     fatal("没有引导服务")},
        StageFailure{"LoadedImageUnsupported", lookup(false, EFI_UNSUPPORTED), kNoImage},
        StageFailure{"LoadedImageDeviceError", lookup(false, EFI_DEVICE_ERROR),
                     "[quillmor] 取协议失败（Unexpected）句柄=0x1a1a000\r\n" + kNoImage},
        StageFailure{"LoadedImageNullInterface", lookup(false, EFI_SUCCESS, true), kNoImage},
        StageFailure{"FileSystemAccessDenied", lookup(true, EFI_ACCESS_DENIED),
                     "[quillmor] 取协议失败（Unexpected）句柄=0xdede000\r\n" + kNoFileSystem},
        StageFailure{"FileSystemUnsupported", lookup(true, EFI_UNSUPPORTED), kNoFileSystem},
        StageFailure{"FileSystemNullInterface", lookup(true, EFI_SUCCESS, true), kNoFileSystem},
        StageFailure{"BootServicesGoneBetweenLookups",
                     [](FakeFirmware& fw) {
                         fw.before_open_protocol = [&fw](int call) {
                             if (call == 0) {
                                 fw.system_table()->BootServices = nullptr;
                             }
                         };
                     },
                     "[quillmor] 取协议时引导服务已不可用\r\n" + kNoFileSystem},
        StageFailure{"OpenVolumeFails",
                     [](FakeFirmware& fw) { fw.open_volume_status = EFI_DEVICE_ERROR; },
                     fatal("打开引导卷失败")}),
    [](const ::testing::TestParamInfo<StageFailure>& info) { return info.param.name; });

TEST_F(FirstStagesTest, MissingRamdiskStopsAfterTheKernelIsReadAndBeforeItIsChecked) {
    // Not an ELF file: a check would reject it, so no check may come first.
    firmware.add_file("\\boot\\mavotix.elf", std::vector<uint8_t>(100, 'x'));
    EXPECT_EQ(boot_until_halt(), kBanner + kVolumeOpened +
                                     "[quillmor] 读入 \\boot\\mavotix.elf 100 字节\r\n"
                                     "[quillmor] 打不开：\\boot\\initrd.ustar\r\n");
    EXPECT_EQ(firmware.opened_paths, (Calls{"\\boot\\mavotix.elf", "\\boot\\initrd.ustar"}));
}

TEST_F(FirstStagesTest, RejectedKernelGetsItsLineWithoutTheFatalPrefix) {
    firmware.add_file("\\boot\\mavotix.elf", std::vector<uint8_t>(100, 'x'));
    firmware.add_file("\\boot\\initrd.ustar", std::vector<uint8_t>(4, 'r'));
    EXPECT_EQ(boot_until_halt(), kBanner + kVolumeOpened +
                                     "[quillmor] 读入 \\boot\\mavotix.elf 100 字节\r\n"
                                     "[quillmor] 读入 \\boot\\initrd.ustar 4 字节\r\n"
                                     "[quillmor] 内核映像不合规：NotElf64\r\n");
    EXPECT_TRUE(firmware.page_requests.empty());
}

TEST_F(FirstStagesTest, PlacedKernelIsLoggedBeforeTheHandoffRecordIsAllocated) {
    constexpr uint64_t kBase = 0xffffffff80000000ull;
    elf_image::Image image;
    image.entry = kBase + 0x40;
    image.headers = {{elf_image::kLoad, 0x1000, kBase, 0x1000, 0x1000},
                     {elf_image::kLoad, 0x2000, kBase + 0x1000, 0x100, 0x1000},
                     {elf_image::kLoad, 0x2100, kBase + 0x3000, 0x10, 0x2000}};
    const std::vector<uint8_t> kernel = elf_image::build(image);
    firmware.add_file("\\boot\\mavotix.elf", kernel);
    firmware.add_file("\\boot\\initrd.ustar", std::vector<uint8_t>(4, 'r'));
    firmware.allocate_pages_successes_left = 1; // the landing area only
    const std::string log = boot_until_halt();

    EXPECT_EQ(firmware.page_requests, (std::vector<uint64_t>{5, 4}));
    char landing[32];
    std::snprintf(
        landing, sizeof(landing), "0x%llx",
        static_cast<unsigned long long>(firmware.arena_base() + firmware.arena_used() - 20480));
    EXPECT_EQ(log, kBanner + kVolumeOpened + "[quillmor] 读入 \\boot\\mavotix.elf " +
                       std::to_string(kernel.size()) + " 字节\r\n" +
                       "[quillmor] 读入 \\boot\\initrd.ustar 4 字节\r\n" +
                       "[quillmor] 内核入口=0xffffffff80000040 段=3 映像=20480 字节，落点=" +
                       landing + " → 0xffffffff80000000\r\n" + fatal("交接结构分配失败"));
}

} // namespace
