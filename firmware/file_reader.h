// Whole-file reading from the boot volume. A file either arrives complete in
// memory or the loader stops: there is no failure result to handle.
#pragma once

#include "crypto/sha256.h"
#include "diag/text.h"
#include "uefi/uefi.h"

#include <stddef.h>
#include <stdint.h>

// The firmware path buffer holds 128 UCS-2 units, the last one the terminator.
constexpr uint64_t kMaxBootFilePathBytes = 127;

// An ASCII path on the boot volume with backslash separators. Paths are
// constants of the loader; one that would not fit the firmware path buffer
// does not compile.
class BootFilePath {
  public:
    template <size_t N>
    requires(N - 1 <= kMaxBootFilePathBytes) consteval BootFilePath(const char (&literal)[N])
        : text_(literal) {}

    constexpr Text text() const { return text_; }

  private:
    Text text_;
};

constexpr BootFilePath kKernelPath = "\\boot\\mavotix.elf";
constexpr BootFilePath kRamdiskPath = "\\boot\\initrd.ustar";

constexpr BootFilePath kCommandLinePath = "\\boot\\cmdline.txt";

struct FileContents {
    uint64_t address; // page-aligned: whole pages, zero after the file, in the page ledger
    uint64_t length;  // the file's size; every byte of it was read
};

// Opens, measures, reads (in pieces) and closes one file, logging
// "[quillmor] 读入 ..." on success. A file that cannot be opened gets its own
// line and a halt; every other failure, a short file included, is a fatal
// stop. Each piece goes into `hash` (when given) right as it arrives, while
// it is still in the cache.
FileContents read_file(EFI_FILE_PROTOCOL* root, BootFilePath path, Sha256* hash = nullptr);

struct SmallFile {
    bool present; // false: the volume has no such file (nothing is logged)
    uint64_t size;
    bool fits; // size <= capacity; only then was it read
};

// A file the volume need not have, read whole into [buffer, buffer +
// capacity) and logged like read_file; an empty one is no error. Any answer of
// Open but "not found" is read_file's halt; every other failure is its stop.
SmallFile read_small_file(EFI_FILE_PROTOCOL* root, BootFilePath path, uint64_t buffer,
                          uint64_t capacity, Sha256* hash = nullptr);
