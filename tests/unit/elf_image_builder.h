// Builds small ELF64 files for the kernel image tests. Every byte that is not
// a header holds a position-dependent pattern, so copied segment data can be
// told apart from zero fill and from untouched memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace elf_image {

constexpr uint32_t kLoad = 1;
constexpr uint32_t kNote = 4;
constexpr uint32_t kProgramHeaderTable = 6;

struct ProgramHeader {
    uint32_t type = kLoad;
    uint64_t offset = 0;
    uint64_t vaddr = 0;
    uint64_t filesz = 0;
    uint64_t memsz = 0;
};

struct Image {
    uint32_t magic = 0x464c457f; // 7F 'E' 'L' 'F'
    uint8_t elf_class = 2;
    uint16_t type = 2;
    uint16_t machine = 62;
    uint64_t entry = 0;
    uint64_t phoff = 64;
    uint16_t phentsize = 56;
    std::optional<uint16_t> phnum; // default: the number of headers
    std::vector<ProgramHeader> headers;
    std::optional<uint64_t> length; // default: up to the last header or segment byte
};

inline uint8_t data_byte(uint64_t offset) {
    return static_cast<uint8_t>(offset * 131 + 7);
}

// Little-endian store; bytes beyond the end of the file are left out.
inline void put(std::vector<uint8_t>& bytes, uint64_t at, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        if (at + i < bytes.size()) {
            bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
}

inline std::vector<uint8_t> build(const Image& image) {
    uint64_t end = std::max<uint64_t>(64, image.phoff + image.headers.size() * image.phentsize);
    for (const ProgramHeader& header : image.headers) {
        end = std::max(end, header.offset + header.filesz);
    }
    std::vector<uint8_t> bytes(image.length.value_or(end));
    for (uint64_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = data_byte(i);
    }
    for (uint64_t i = 0; i < 64 && i < bytes.size(); ++i) {
        bytes[i] = 0;
    }
    put(bytes, 0, image.magic, 4);
    put(bytes, 4, image.elf_class, 1);
    put(bytes, 5, 1, 1); // little-endian
    put(bytes, 6, 1, 1); // ELF version
    put(bytes, 16, image.type, 2);
    put(bytes, 18, image.machine, 2);
    put(bytes, 20, 1, 4);
    put(bytes, 24, image.entry, 8);
    put(bytes, 32, image.phoff, 8);
    put(bytes, 52, 64, 2);
    put(bytes, 54, image.phentsize, 2);
    put(bytes, 56, image.phnum.value_or(static_cast<uint16_t>(image.headers.size())), 2);
    for (uint64_t i = 0; i < image.headers.size(); ++i) {
        const ProgramHeader& header = image.headers[i];
        uint64_t at;
        if (__builtin_add_overflow(image.phoff, i * image.phentsize, &at) || at >= bytes.size()) {
            continue; // no byte of this header lies in the file
        }
        for (uint64_t k = 0; k < 56; ++k) {
            put(bytes, at + k, 0, 1);
        }
        put(bytes, at + 0, header.type, 4);
        put(bytes, at + 4, 7, 4); // p_flags: ignored
        put(bytes, at + 8, header.offset, 8);
        put(bytes, at + 16, header.vaddr, 8);
        put(bytes, at + 24, 0x1234, 8); // p_paddr: ignored
        put(bytes, at + 32, header.filesz, 8);
        put(bytes, at + 40, header.memsz, 8);
        put(bytes, at + 48, 0x1000, 8);
    }
    return bytes;
}

} // namespace elf_image
