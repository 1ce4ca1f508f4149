// A PC as the host tests boot it through the whole sequence: the typical
// memory map, a kernel of two segments whose memory ends mid-page, a ramdisk
// read in two pieces, a 1024 x 768 framebuffer, ACPI 1.0 and 2.0 tables. A
// boot ends in the kernel, in a stop, or in a check failure.
#pragma once

#include "boot/boot_sequence.h"
#include "firmware/page_ledger.h"
#include "mm/region_table.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "tests/unit/elf_image_builder.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace machine {

constexpr uint64_t kKernelBase = 0xffffffff80000000ull;
constexpr uint64_t kKernelEntry = kKernelBase + 0x40;
constexpr uint64_t kFramebuffer = 0x80000000;
constexpr uint64_t kReadPiece = 1 << 20;
const std::string kKernelFile = "\\boot\\mavotix.elf";
const std::string kRamdiskFile = "\\boot\\initrd.ustar";

inline std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// 0x1800 bytes of code and data at the base; 0x100 bytes of data and .bss
// up to base + 0x4900, so the image is five pages of which the last is part.
inline std::vector<uint8_t> kernel_file() {
    return elf_image::build(
        {.entry = kKernelEntry,
         .headers = {{elf_image::kLoad, 0x200, kKernelBase, 0x1800, 0x1800},
                     {elf_image::kLoad, 0x1a00, kKernelBase + 0x2000, 0x100, 0x2900}}});
}

inline void set_up(FakeFirmware& firmware) {
    firmware.use_typical_memory_map();
    firmware.files[kKernelFile] = kernel_file();
    firmware.files[kRamdiskFile] = std::vector<uint8_t>(kReadPiece + 1000, 0x5a);
    firmware.install_graphics(1024, 768, kFramebuffer);
    firmware.graphics_info.PixelsPerScanLine = 1056; // a pitch of 4224 bytes
    static uint8_t rsdp[2][36];
    firmware.configuration = {{ACPI_TABLE_GUID, &rsdp[0]}, {EFI_ACPI_20_TABLE_GUID, &rsdp[1]}};
    firmware.sync_configuration();
}

struct Ending {
    std::optional<fake_arch::EnteredKernel> kernel; // empty: the boot stopped
    std::string log;                                // the serial bytes
    std::string last_line;                          // without its CR LF
};

// Processor state and the loader's static tables as at power-on.
inline void power_on() {
    fake_arch::reset();
    fake_arch::state().cpuid[{1, 0}] = {0, 3u << 24, 0, 0};
    page_ledger().clear();
    carve_table().clear();
}

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
    const size_t end = ending.log.size() >= 2 ? ending.log.size() - 2 : 0;
    const size_t start = ending.log.rfind("\r\n", end == 0 ? 0 : end - 1);
    ending.last_line = ending.log.substr(start == std::string::npos ? 0 : start + 2,
                                         end - (start == std::string::npos ? 0 : start + 2));
    return ending;
}

} // namespace machine
