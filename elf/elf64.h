// The fields of the ELF64 format that the kernel image check reads. The file
// is read in place, so every field is loaded byte-wise: the program header
// table need not be aligned.
#pragma once

#include <stdint.h>

namespace elf64 {

constexpr uint64_t kFileHeaderSize = 64;
constexpr uint64_t kProgramHeaderSize = 56;

constexpr uint8_t kMagic[4] = {0x7f, 'E', 'L', 'F'};
constexpr uint64_t kClassOffset = 4;
constexpr uint8_t kClass64 = 2;

constexpr uint64_t kTypeOffset = 16;
constexpr uint64_t kMachineOffset = 18;
constexpr uint64_t kEntryOffset = 24;
constexpr uint64_t kProgramHeaderOffsetOffset = 32;
constexpr uint64_t kProgramHeaderEntrySizeOffset = 54;
constexpr uint64_t kProgramHeaderCountOffset = 56;

constexpr uint16_t kTypeExecutable = 2;
constexpr uint16_t kMachineX86_64 = 62;

// Offsets inside one program header.
constexpr uint64_t kSegmentTypeOffset = 0;
constexpr uint64_t kSegmentFileOffsetOffset = 8;
constexpr uint64_t kSegmentVirtualAddressOffset = 16;
constexpr uint64_t kSegmentFileSizeOffset = 32;
constexpr uint64_t kSegmentMemorySizeOffset = 40;

constexpr uint32_t kSegmentLoad = 1;

inline uint64_t read_le(const uint8_t* bytes, uint64_t width) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    }
    return value;
}

inline uint16_t read_u16(const uint8_t* at) {
    return static_cast<uint16_t>(read_le(at, 2));
}
inline uint32_t read_u32(const uint8_t* at) {
    return static_cast<uint32_t>(read_le(at, 4));
}
inline uint64_t read_u64(const uint8_t* at) {
    return read_le(at, 8);
}

} // namespace elf64
