// Whole-file reading from a firmware that answers Open, GetInfo and each Read
// as the input says: any status, information size and file size, reads that
// deliver all, part, nothing or more than asked. The file must be read in
// pieces of at most 1 MiB, each right after the last in the one buffer
// obtained for it, and the file closed once; the outcome must be the whole
// file with its log line, the exact open or fatal line, or the check failure
// for a count above what was asked.
#include "firmware/file_reader.h"
#include "firmware/page_ledger.h"
#include "tests/fuzz/fuzz_support.h"

#include <vector>

namespace {

constexpr uint64_t kChunk = 1 << 20;
constexpr uint64_t kLargestBuffer = 3 << 20; // the pool refuses anything larger

struct Firmware {
    EFI_STATUS open_status, info_status;
    uint64_t info_size, file_size;
    std::vector<uint8_t> reads; // per Read: below 0xA0 all, then part, more, or a failure
    std::string path;
    std::vector<void*> blocks; // from the pool
    uint64_t read_calls, delivered, closes;
} fw;

// What Read call `call` answers when asked for `asked` bytes.
std::pair<EFI_STATUS, uint64_t> answer_read(uint64_t call, uint64_t asked) {
    const uint8_t r = call < fw.reads.size() ? fw.reads[call] : 0;
    return r < 0xA0   ? std::pair{EFI_SUCCESS, asked}
           : r < 0xC0 ? std::pair{EFI_SUCCESS, asked * (r & 0x1f) / 32}
           : r < 0xE0 ? std::pair{EFI_SUCCESS, asked + 1 + (r & 0x1f)}
                      : std::pair{r & 1 ? EFI_DEVICE_ERROR : EFI_NOT_FOUND, uint64_t{0}};
}

EFI_STATUS EFIAPI file_read(EFI_FILE_PROTOCOL*, UINTN* size, void* buffer) {
    require(fw.closes == 0 && fw.read_calls < 100000 &&
                *size == std::min(kChunk, fw.file_size - fw.delivered) &&
                buffer == static_cast<uint8_t*>(fw.blocks.at(0)) + fw.delivered,
            "reads of at most 1 MiB, each after the last, none after Close, not forever");
    const auto [status, count] = answer_read(fw.read_calls++, *size);
    std::memset(buffer, 0x5a, std::min<uint64_t>(count, *size)); // what the pool gave must hold it
    fw.delivered += status == EFI_SUCCESS ? count : 0;
    *size = count;
    return status;
}

EFI_STATUS EFIAPI file_close(EFI_FILE_PROTOCOL*) {
    ++fw.closes;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_get_info(EFI_FILE_PROTOCOL*, const EFI_GUID* type, UINTN* size,
                                void* buffer) {
    require(*type == EFI_FILE_INFO_ID && *size == 512, "GetInfo arguments");
    EFI_FILE_INFO info{};
    info.FileSize = fw.file_size;
    std::memcpy(buffer, &info, fw.info_status == EFI_SUCCESS ? sizeof(info) : 0);
    *size = fw.info_size;
    return fw.info_status;
}

EFI_FILE_PROTOCOL file = {.Close = file_close, .Read = file_read, .GetInfo = file_get_info};

EFI_STATUS EFIAPI root_open(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL** out, const CHAR16* name,
                            uint64_t mode, uint64_t attributes) {
    require(narrow(name) == fw.path && mode == EFI_FILE_MODE_READ && attributes == 0,
            "Open arguments");
    *out = &file;
    return fw.open_status;
}

EFI_STATUS EFIAPI pool(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
    if (type != EfiLoaderData || (fw.blocks.empty() && size > kLargestBuffer)) {
        return EFI_OUT_OF_RESOURCES;
    }
    fw.blocks.push_back(*buffer = std::malloc(size)); // exactly `size` bytes
    return EFI_SUCCESS;
}

// In the order the steps meet them; "too small" with a size that fits
// delivered no record.
std::string expected_read() {
    if (fw.open_status != EFI_SUCCESS) {
        return "stop [quillmor] 打不开：" + fw.path + "\r\n";
    }
    const bool info_failed = fw.info_status != EFI_SUCCESS;
    const char* failure = info_failed && fw.info_status != EFI_BUFFER_TOO_SMALL ? "取文件信息失败"
                          : fw.info_size > 512            ? "文件信息超出预期缓冲"
                          : info_failed                   ? "取文件信息失败"
                          : fw.file_size == 0             ? "文件为空"
                          : fw.file_size > kLargestBuffer ? "分配文件缓冲失败"
                                                          : nullptr;
    for (uint64_t at = 0, call = 0; failure == nullptr && at < fw.file_size; ++call) {
        const uint64_t asked = std::min(kChunk, fw.file_size - at);
        const auto [status, count] = answer_read(call, asked);
        if (status == EFI_SUCCESS && count > asked) {
            return "check index out of bounds: index " + dec(count) + ", len " + dec(asked);
        }
        failure = status != EFI_SUCCESS || count == 0 ? "读文件失败" : nullptr;
        at += count;
    }
    return failure != nullptr ? "stop [quillmor] 装载失败：" + std::string(failure) + "\r\n"
                              : "[quillmor] 读入 " + fw.path + " " + dec(fw.file_size) +
                                    " 字节\r\nread " + dec(fw.file_size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint8_t flags = in.take<uint8_t>();
    fw = {};
    fw.path = flags & 1 ? "\\boot\\initrd.ustar" : "\\boot\\mavotix.elf";
    fw.open_status = in.status();
    fw.info_status = in.status();
    const uint16_t info_size = in.take<uint16_t>();
    fw.info_size = info_size & 0x8000 ? info_size : info_size % 513;
    // Up to 3 MiB, or below 24 KiB, 192 bytes or 2 bytes; or any size.
    const uint64_t file_size = in.take<uint32_t>() % (kLargestBuffer + 1) >> (flags >> 5 & 3) * 7;
    fw.file_size = flags & 0x80 ? in.take<uint64_t>() : file_size;
    fw.reads.assign(in.data, in.data + in.left);
    page_ledger().clear();
    LoaderRun run;
    run.firmware.boot_services().AllocatePool = pool;
    EFI_FILE_PROTOCOL root = {.Open = root_open};
    expect_same(run([&] {
                    const FileContents contents =
                        read_file(&root, flags & 1 ? kRamdiskPath : kKernelPath);
                    require(contents.address == reinterpret_cast<uint64_t>(fw.blocks.at(0)),
                            "the buffer returned");
                    return fake_arch::state().serial + "read " + dec(contents.length);
                }),
                expected_read());
    require(fw.read_calls == 0 || fw.closes == 1, "closed once");
    for (void* block : fw.blocks) {
        std::free(block);
    }
    return 0;
}
