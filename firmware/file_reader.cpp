#include "firmware/file_reader.h"

#include "diag/checked.h"
#include "diag/serial.h"
#include "diag/stop.h"
#include "firmware/allocator.h"

namespace {

constexpr uint64_t kFileInfoBufferSize = 512;

// Some firmware fails a single Read of a large file; pieces of this size are
// what every firmware handles.
constexpr uint64_t kMaxReadPiece = 1ull << 20;

struct FirmwarePath {
    CHAR16 units[kMaxBootFilePathBytes + 1];
};

// Each byte becomes the code unit of the same value: the paths are ASCII.
FirmwarePath to_firmware_path(Text path) {
    FirmwarePath converted;
    for (uint64_t i = 0; i < path.length; ++i) {
        converted.units[i] = static_cast<uint8_t>(path.bytes[i]);
    }
    converted.units[path.length] = 0;
    return converted;
}

[[noreturn]] void stop_cannot_open(Text path) {
    serial_write("[quillmor] 打不开：");
    serial_write(path);
    serial_write(kLineEnd);
    halt_forever();
}

// The file opened for reading; a file that cannot be opened gets its own
// line and a halt, except a missing one where `missing_is_fine` (nullptr).
EFI_FILE_PROTOCOL* open_for_reading(EFI_FILE_PROTOCOL* root, Text path, bool missing_is_fine) {
    const FirmwarePath firmware_path = to_firmware_path(path);
    EFI_FILE_PROTOCOL* file = nullptr;
    const EFI_STATUS status = root->Open(root, &file, firmware_path.units, EFI_FILE_MODE_READ, 0);
    if (status == EFI_NOT_FOUND && missing_is_fine) {
        return nullptr;
    }
    if (status != EFI_SUCCESS || file == nullptr) {
        stop_cannot_open(path);
    }
    return file;
}

uint64_t query_file_size(EFI_FILE_PROTOCOL* file) {
    // Cleared, so that a firmware that reports success without writing the
    // record gives a size of 0 rather than whatever was on the stack.
    alignas(8) uint8_t info[kFileInfoBufferSize] = {};
    UINTN info_size = kFileInfoBufferSize;
    const EFI_STATUS status = file->GetInfo(file, &EFI_FILE_INFO_ID, &info_size, info);
    if (status != EFI_SUCCESS && status != EFI_BUFFER_TOO_SMALL) {
        fatal_stop("取文件信息失败");
    }
    if (info_size > kFileInfoBufferSize) {
        fatal_stop("文件信息超出预期缓冲");
    }
    // "Too small" with a size that fits means nothing usable was delivered;
    // the buffer would be read uninitialised.
    if (status != EFI_SUCCESS) {
        fatal_stop("取文件信息失败");
    }
    return reinterpret_cast<const EFI_FILE_INFO*>(info)->FileSize;
}

// Fills [buffer, buffer + size) from the file in pieces, then closes the
// file (once, whatever happened). A Read that fails, or that reports the end
// of the file before `size` bytes, is a fatal stop: a file that came out
// shorter than its size says is not the file.
void read_contents(EFI_FILE_PROTOCOL* file, uint64_t buffer, uint64_t size, Sha256* hash) {
    uint64_t offset = 0;
    uint64_t asked = 0;
    UINTN count = 0;
    EFI_STATUS status = EFI_SUCCESS;
    while (offset < size) {
        asked = size - offset < kMaxReadPiece ? size - offset : kMaxReadPiece;
        count = asked;
        uint8_t* piece = pointer_at<uint8_t>(checked_add(buffer, offset));
        status = file->Read(file, &count, piece);
        if (status != EFI_SUCCESS || count == 0 || count > asked) {
            break;
        }
        if (hash != nullptr) {
            sha256_add(*hash, piece, count);
        }
        offset = checked_add(offset, count);
    }
    file->Close(file);
    // A conforming firmware never reports more than it was asked for.
    if (status == EFI_SUCCESS) {
        check_range(0, count, asked);
    }
    if (offset < size) {
        fatal_stop("读文件失败");
    }
}

void log_file_read(Text path, uint64_t byte_count) {
    serial_write("[quillmor] 读入 ");
    serial_write(path);
    serial_write(" ");
    serial_write_dec(byte_count);
    serial_write(" 字节\r\n");
}

} // namespace

SmallFile read_small_file(EFI_FILE_PROTOCOL* root, BootFilePath path, uint64_t buffer,
                          uint64_t capacity, Sha256* hash) {
    EFI_FILE_PROTOCOL* file = open_for_reading(root, path.text(), true);
    if (file == nullptr) {
        return {false, 0, true};
    }
    const uint64_t file_size = query_file_size(file);
    if (file_size > capacity) {
        file->Close(file);
        return {true, file_size, false};
    }
    read_contents(file, buffer, file_size, hash);
    log_file_read(path.text(), file_size);
    return {true, file_size, true};
}

FileContents read_file(EFI_FILE_PROTOCOL* root, BootFilePath path, Sha256* hash) {
    EFI_FILE_PROTOCOL* file = open_for_reading(root, path.text(), false);
    const uint64_t file_size = query_file_size(file);
    if (file_size == 0) {
        fatal_stop("文件为空");
    }
    // Whole pages of their own: a kernel that frees the ramdisk by pages
    // frees nothing of the loader's, and no region boundary falls inside a
    // page.
    // A size within a page of 2^64 has no whole pages: no memory holds it.
    uint64_t rounded = 0;
    const bool fits = try_add(file_size, kPageMask, rounded);
    const Allocation buffer = fits ? alloc_pages(rounded / kPageSize) : Allocation{0, 0};
    if (!buffer.ok()) {
        fatal_stop("分配文件缓冲失败");
    }
    read_contents(file, buffer.address, file_size, hash);
    // The rest of the last page holds nothing the firmware left there.
    uint8_t* const tail = pointer_at<uint8_t>(checked_add(buffer.address, file_size));
    for (uint64_t i = 0; i < buffer.length - file_size; ++i) {
        tail[i] = 0;
    }
    log_file_read(path.text(), file_size);
    return {buffer.address, file_size};
}
