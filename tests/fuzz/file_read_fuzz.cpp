// Whole-file reading from a firmware that answers Open, GetInfo and each Read
// as the input says: any status, information size and file size, reads that
// deliver all, part, nothing or more than asked. The fake firmware holds the
// loader to reading in pieces of at most 1 MiB, each right after the last in
// the one buffer obtained for it; the file must be closed once, and the
// outcome must be the whole file with its log line, the exact open or fatal
// line, or the check failure for a count above what was asked.
#include "firmware/file_reader.h"
#include "firmware/page_ledger.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr uint64_t kChunk = 1 << 20;
constexpr uint64_t kLargestBuffer = 3 << 20; // the pool refuses anything larger

// In the order the steps meet them; "too small" with a size that fits
// delivered no record.
std::string expected_read(const std::string& path, EFI_STATUS open_status,
                          const FakeFirmware& firmware) {
    if (open_status != EFI_SUCCESS) {
        return "stop [quillmor] 打不开：" + path + "\r\n";
    }
    const auto [info_status, info_size, file_size] = *firmware.info_answer;
    const bool info_failed = info_status != EFI_SUCCESS;
    const char* failure = info_failed && info_status != EFI_BUFFER_TOO_SMALL ? "取文件信息失败"
                          : info_size > 512            ? "文件信息超出预期缓冲"
                          : info_failed                ? "取文件信息失败"
                          : file_size == 0             ? "文件为空"
                          : file_size > kLargestBuffer ? "分配文件缓冲失败"
                                                       : nullptr;
    for (uint64_t at = 0, read = 0; failure == nullptr && at < file_size; ++read) {
        const uint64_t asked = std::min(kChunk, file_size - at);
        const uint8_t code = read < firmware.read_answers.size() ? firmware.read_answers[read] : 0;
        const auto [status, count] = read_answer(code, asked);
        if (status == EFI_SUCCESS && count > asked) {
            return "check index out of bounds: index " + dec(count) + ", len " + dec(asked);
        }
        failure = status != EFI_SUCCESS || count == 0 ? "读文件失败" : nullptr;
        at += count;
    }
    return failure != nullptr ? "stop [quillmor] 装载失败：" + std::string(failure) + "\r\n"
                              : "[quillmor] 读入 " + path + " " + dec(file_size) +
                                    " 字节\r\nread " + dec(file_size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint8_t flags = in.take<uint8_t>();
    const std::string path = "\\boot\\mavotix.elf";
    const EFI_STATUS open_status = in.status(), info_status = in.status();
    const uint16_t info_size = in.take<uint16_t>();
    // Up to 3 MiB, or below 24 KiB, 192 bytes or 2 bytes; or any size.
    const uint64_t file_size = in.take<uint32_t>() % (kLargestBuffer + 1) >> (flags >> 5 & 3) * 7;
    LoaderRun run(kLargestBuffer + (64 << 10));
    FakeFirmware& firmware = run.firmware;
    firmware.largest_allocation = kLargestBuffer;
    firmware.files[path] = {};
    if (open_status != EFI_SUCCESS) {
        firmware.faults = {{"File.Open", 0, "Status", open_status}};
    }
    firmware.info_answer = {info_status, info_size & 0x8000 ? info_size : info_size % 513u,
                            flags & 0x80 ? in.take<uint64_t>() : file_size};
    firmware.read_answers.assign(in.data, in.data + in.left);
    page_ledger().clear();
    EFI_FILE_PROTOCOL* root = nullptr;
    firmware.file_system.OpenVolume(&firmware.file_system, &root);
    expect_same(run([&] {
                    const FileContents contents = read_file(root, kKernelPath);
                    require(contents.address == firmware.arena_base(), "the buffer returned");
                    return fake_arch::state().serial + "read " + dec(contents.length);
                }),
                expected_read(path, open_status, firmware));
    const auto calls = [&](const char* name) {
        return std::count(firmware.calls.begin(), firmware.calls.end(), name);
    };
    require(calls("File.Read") == 0 || calls("File.Close") == 1, "closed once");
    return 0;
}
