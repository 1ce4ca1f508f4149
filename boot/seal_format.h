// The seal: the digests of the files a loader image may run, carried inside
// the image (its `.qseal` section) so that the image's Authenticode
// signature covers them. quillmor-seal writes it; an unsealed image has the
// section all zero. Shared by the loader and the host tool, so it includes
// nothing of either.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint64_t kSealSectionBytes = 4096;
constexpr uint8_t kSealMagic[8] = {'Q', 'M', 'O', 'R', 'S', 'E', 'A', 'L'};
constexpr uint32_t kSealVersion = 1;

// Which digests the seal holds: always the kernel's and the ramdisk's; the
// command-line file's when the volume had one (without the flag, the seal
// says it had none, and a loader refuses to find one).
constexpr uint32_t kSealKernel = 1u << 0;
constexpr uint32_t kSealRamdisk = 1u << 1;
constexpr uint32_t kSealCommandLine = 1u << 2;
constexpr uint32_t kSealFlagsOfThisVersion = kSealKernel | kSealRamdisk | kSealCommandLine;

struct QuillmorSeal {
    uint8_t magic[8];
    uint32_t version;
    uint32_t flags;
    uint8_t kernel_sha256[32];
    uint8_t ramdisk_sha256[32];
    uint8_t command_line_sha256[32];
    uint8_t zero[kSealSectionBytes - 112];
};
static_assert(offsetof(QuillmorSeal, version) == 8);
static_assert(offsetof(QuillmorSeal, flags) == 12);
static_assert(offsetof(QuillmorSeal, kernel_sha256) == 16);
static_assert(offsetof(QuillmorSeal, ramdisk_sha256) == 48);
static_assert(offsetof(QuillmorSeal, command_line_sha256) == 80);
static_assert(sizeof(QuillmorSeal) == kSealSectionBytes);
