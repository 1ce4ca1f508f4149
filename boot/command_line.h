// The kernel's command line, kept in the extension block: the boot manager's
// load options (UCS-2, as systemd-boot's `options`, GRUB's `chainloader FILE
// ARGS` and efibootmgr pass them), else the file \boot\cmdline.txt (UTF-8),
// else empty.
#pragma once

#include "crypto/sha256.h"
#include "uefi/uefi.h"

#include <quillmor/handoff.h>
#include <stdint.h>

// The load options as UTF-8 in `out` (at most `capacity` bytes, no NUL),
// up to their first NUL unit or their end.
enum class OptionsText : uint8_t { Converted, TooLong, Invalid };
struct ConvertedOptions {
    OptionsText outcome;
    uint64_t length;
};
ConvertedOptions load_options_to_utf8(const void* options, uint64_t size_in_bytes, char* out,
                                      uint64_t capacity);

// What the seal says of the command-line file: nothing (unsealed), absent,
// or present with its SHA-256.
struct CommandLineSeal {
    bool sealed;
    bool file_present;
    const Sha256Digest* digest; // when file_present
};

// Fills the extension's command line and its length. Stops with
// "命令行过长" beyond 2047 bytes, "命令行不是有效文本" for text that is
// not (a lone surrogate, malformed UTF-8, a NUL byte), and "命令行散列不符"
// when a sealed image meets a file other than the one it was sealed with.
// A sealed image ignores the load options.
void load_command_line(quillmor_extension& extension, const EFI_LOADED_IMAGE_PROTOCOL& image,
                       EFI_FILE_PROTOCOL* root, const CommandLineSeal& seal);
