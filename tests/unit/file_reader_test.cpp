#include "firmware/file_reader.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const std::string kKernel = "\\boot\\mavotix.elf";
const std::string kRamdisk = "\\boot\\initrd.ustar";

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

// GetInfo that answers success but reports a record of 600 bytes.
EFI_STATUS EFIAPI info_success_600_bytes(EFI_FILE_PROTOCOL*, const EFI_GUID*, UINTN* size,
                                         void* buffer) {
    std::memset(buffer, 0, *size);
    *size = 600;
    return EFI_SUCCESS;
}

EFI_FILE_OPEN fake_open = nullptr;

EFI_STATUS EFIAPI open_with_oversized_info(EFI_FILE_PROTOCOL* self, EFI_FILE_PROTOCOL** out,
                                           const CHAR16* name, uint64_t mode, uint64_t attributes) {
    const EFI_STATUS status = fake_open(self, out, name, mode, attributes);
    if (status == EFI_SUCCESS) {
        (*out)->GetInfo = info_success_600_bytes;
    }
    return status;
}

class FileReaderTest : public LoaderTest {
  protected:
    FileReaderTest() {
        firmware.file_system.OpenVolume(&firmware.file_system, &root);
        firmware.calls.clear();
    }

    void expect_fatal(const std::string& message) {
        expect_halt([&] { read_file(root, kKernelPath); });
        EXPECT_EQ(serial(), "[quillmor] 装载失败：" + message + "\r\n");
    }

    EFI_FILE_PROTOCOL* root = nullptr;
};

// The calls of a read that got as far as `reads` calls of Read.
Calls read_calls(size_t reads) {
    Calls calls = {"File.Open", "File.GetInfo", "AllocatePool"};
    calls.insert(calls.end(), reads, "File.Read");
    calls.push_back("File.Close");
    return calls;
}

TEST_F(FileReaderTest, ReadsTheWholeFileInPiecesIntoPoolPagesInTheLedgerAndLogsIt) {
    const std::vector<uint8_t> contents = pattern(5 << 19); // 2.5 MiB
    FakeFile& fake = firmware.add_file(kKernel, contents);
    firmware.pool_offset = 24;
    const FileContents file = read_file(root, kKernelPath);

    EXPECT_EQ(serial(), "[quillmor] 读入 \\boot\\mavotix.elf 2621440 字节\r\n");
    EXPECT_EQ(file.address, firmware.arena_base() + 24);
    ASSERT_EQ(file.length, contents.size());
    EXPECT_EQ(
        std::memcmp(reinterpret_cast<const void*>(file.address), contents.data(), contents.size()),
        0);
    EXPECT_EQ(firmware.opened_paths, Calls{kKernel});
    EXPECT_EQ(firmware.calls, read_calls(3));
    EXPECT_EQ(fake.read_requests, (std::vector<UINTN>{1 << 20, 1 << 20, 1 << 19}));
    EXPECT_EQ(firmware.pool_requests, std::vector<uint64_t>{contents.size()});
    ASSERT_EQ(page_ledger().count(), 1u);
    EXPECT_EQ(page_ledger()[0].base, firmware.arena_base());
    EXPECT_EQ(page_ledger()[0].length, (24 + contents.size() + 4095) / 4096 * 4096);
}

TEST_F(FileReaderTest, ReadReportingMoreThanItWasAskedForIsACheckFailure) {
    FakeFile& fake = firmware.add_file(kKernel, pattern(5000));
    fake.read_count = 5001;
    expect_check_failure([&] { read_file(root, kKernelPath); },
                         "index out of bounds: index 5001, len 5000");
    EXPECT_EQ(serial(), "");
    EXPECT_EQ(fake.close_count, 1);
}

TEST_F(FileReaderTest, FileThatCannotBeOpenedGetsItsOwnLineWithoutTheFatalPrefix) {
    for (bool present : {false, true}) {
        fake_arch::reset();
        firmware.calls.clear();
        if (present) {
            firmware.add_file(kRamdisk, pattern(10)).open_status = EFI_ACCESS_DENIED;
        }
        expect_halt([&] { read_file(root, kRamdiskPath); });
        EXPECT_EQ(serial(), "[quillmor] 打不开：\\boot\\initrd.ustar\r\n") << present;
        EXPECT_EQ(firmware.calls, Calls{"File.Open"});
        const auto& events = fake_arch::events(); // interrupts off, then the halt
        EXPECT_EQ(events[events.size() - 2].kind, fake_arch::EventKind::DisableInterrupts);
    }
}

TEST_F(FileReaderTest, FileInformationThatIsMissingOrTooLargeIsAFatalStop) {
    // GetInfo's status and the record size it reports.
    const std::vector<std::tuple<EFI_STATUS, UINTN, std::string>> cases = {
        {EFI_DEVICE_ERROR, 120, "取文件信息失败"},
        {EFI_DEVICE_ERROR, 600, "取文件信息失败"}, // the status decides first
        {EFI_BUFFER_TOO_SMALL, 600, "文件信息超出预期缓冲"},
        {EFI_BUFFER_TOO_SMALL, 513, "文件信息超出预期缓冲"},
        {EFI_BUFFER_TOO_SMALL, 512, "取文件信息失败"}, // fits, yet nothing was delivered
    };
    for (const auto& [status, size, message] : cases) {
        fake_arch::reset();
        firmware.calls.clear();
        FakeFile& file = firmware.add_file(kKernel, pattern(100));
        file.get_info_status = status;
        file.info_size = size;
        expect_fatal(message);
        EXPECT_EQ(firmware.calls, (Calls{"File.Open", "File.GetInfo"})) << size;
    }
    fake_arch::reset();
    fake_open = root->Open;
    root->Open = open_with_oversized_info; // success, with a record of 600 bytes
    expect_fatal("文件信息超出预期缓冲");
    EXPECT_TRUE(firmware.pool_requests.empty());
}

TEST_F(FileReaderTest, LaterFailuresAreFatalStopsAtTheirStep) {
    const Calls before_read = {"File.Open", "File.GetInfo", "AllocatePool"};
    const std::vector<std::tuple<std::function<void(FakeFile&)>, std::string, Calls>> cases = {
        {[](FakeFile& f) { f.bytes.clear(); }, "文件为空",
         Calls(before_read.begin(), before_read.begin() + 2)},
        {[&](FakeFile&) { firmware.allocate_pool_successes_left = 0; }, "分配文件缓冲失败",
         before_read},
        {[&](FakeFile&) { firmware.system_table()->BootServices = nullptr; }, "分配文件缓冲失败",
         Calls(before_read.begin(), before_read.begin() + 2)},
        // From the first Read on, the file is closed once before the stop.
        {[](FakeFile& f) { f.read_status[0] = EFI_DEVICE_ERROR; }, "读文件失败", read_calls(1)},
        {[](FakeFile& f) { f.bytes = pattern(1000), f.readable = 10; }, "读文件失败",
         read_calls(2)}, // 10 of 1000 bytes, then the end
        {[](FakeFile& f) { f.bytes = pattern(5 << 19), f.readable = 1 << 20; }, "读文件失败",
         read_calls(2)}, // nothing at all mid-file
        {[](FakeFile& f) { f.bytes = pattern(5 << 19), f.read_status[1] = EFI_DEVICE_ERROR; },
         "读文件失败", read_calls(2)},
    };
    for (const auto& [setup, message, calls] : cases) {
        fake_arch::reset();
        firmware.calls.clear();
        firmware.allocate_pool_successes_left = -1;
        firmware.system_table()->BootServices = &firmware.boot_services();
        FakeFile& fake = firmware.add_file(kKernel, pattern(100));
        setup(fake);
        expect_fatal(message);
        EXPECT_EQ(firmware.calls, calls) << message;
        EXPECT_EQ(fake.close_count, calls.back() == "File.Close" ? 1 : 0) << message;
    }
}

} // namespace
