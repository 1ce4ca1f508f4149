// A PC as the host tests boot it through the whole sequence: the fake
// firmware as built with the quirks real ones have, a kernel of two segments
// whose memory ends mid-page and a ramdisk read in two pieces. A boot ends in
// the kernel, in a stop, or in a check failure.
#pragma once

#include "boot/boot_sequence.h"
#include "firmware/page_ledger.h"
#include "mm/region_table.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace machine {

constexpr uint64_t kKernelBase = 0xffffffff80000000ull;
constexpr uint64_t kKernelEntry = kKernelBase + 0x40;
constexpr uint64_t kReadPiece = 1 << 20;
const std::string kKernelFile = "\\boot\\mavotix.elf";
const std::string kRamdiskFile = "\\boot\\initrd.ustar";

inline std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// An ELF64 executable for x86-64 with 0x1800 bytes of code and data at the
// base and 0x100 bytes of data and .bss up to base + 0x4900, so the image is
// five pages of which the last is part. The bytes past the headers hold a
// pattern, so that copied data shows.
inline std::vector<uint8_t> kernel_file() {
    struct [[gnu::packed]] FileHeader {
        uint8_t ident[16];
        uint16_t type, machine;
        uint32_t version;
        uint64_t entry, program_headers, section_headers;
        uint32_t flags;
        uint16_t size, program_header_size, program_header_count, unused[3];
    } header = {{0x7f, 'E', 'L', 'F', 2, 1, 1}, 2, 62, 1, kKernelEntry, 64, 0, 0, 64, 56, 2, {}};
    struct ProgramHeader {
        uint32_t type, flags;
        uint64_t offset, address, physical, file_size, memory_size, align;
    } segments[] = {{1, 5, 0x200, kKernelBase, 0, 0x1800, 0x1800, 0x1000},
                    {1, 6, 0x1a00, kKernelBase + 0x2000, 0, 0x100, 0x2900, 0x1000}};
    std::vector<uint8_t> file(0x1b00);
    for (size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    std::memcpy(file.data(), &header, sizeof(header));
    std::memcpy(file.data() + sizeof(header), segments, sizeof(segments));
    return file;
}

// The files on the boot volume; memory the firmware accepts only when boot
// services end (so that it refuses the first exit: the map changed); the
// processor as at power-on, its GDT in ROM and its IDT in reserved memory;
// the loader's static tables empty.
inline void set_up(FakeFirmware& firmware) {
    firmware.files[kKernelFile] = kernel_file();
    firmware.files[kRamdiskFile] = std::vector<uint8_t>(kReadPiece + 1000, 0x5a);
    firmware.add_descriptor(EfiUnacceptedMemoryType, 0x100000000, 0x800);
    fake_arch::reset();
    fake_arch::state().cpuid[{1, 0}] = {0, 3u << 24, 0, 0};
    fake_arch::state().gdtr = {0xfffdd700, 0x37}; // in the MMIO descriptor
    fake_arch::state().idtr = {0xa0ff8, 0xfff};   // across two pages
    page_ledger().clear();
    carve_table().clear();
}

struct Ending {
    std::optional<fake_arch::EnteredKernel> kernel; // empty: the boot stopped
    std::string log;                                // the serial bytes
    std::string last_line;                          // without its CR LF
};

// The whole sequence from the entry, after `before` (which may stop too).
inline Ending boot(FakeFirmware& firmware, const std::function<void()>& before = nullptr) {
    Ending ending;
    try {
        if (before) {
            before();
        }
        run_boot_sequence(firmware.image_handle(), firmware.system_table());
    } catch (const fake_arch::EnteredKernel& entered) {
        ending.kernel = entered;
    } catch (const fake_arch::Halted&) {
    }
    ending.log = fake_arch::state().serial;
    const std::string lines =
        "\r\n" + ending.log.substr(0, std::max<size_t>(ending.log.size(), 2) - 2);
    ending.last_line = lines.substr(lines.rfind("\r\n") + 2);
    return ending;
}

} // namespace machine
