// The extension block: the firmware's system table, the memory map it was
// left with, SMBIOS, the command line and the loader's timing. Through the
// system table the kernel calls the firmware's runtime services (GetTime,
// ResetSystem) on the loader's tables, which map their code and data at
// their own addresses.
#include "record.h"
#include "serial.h"
#include "summary.h"

namespace {

// The few pieces of the UEFI interface used here, from the UEFI
// specification: the system table's RuntimeServices pointer, and GetTime and
// ResetSystem in the runtime-services table.
constexpr uint64_t kSystemTableSignature = 0x5453595320494249; // "IBI SYST"
constexpr unsigned kRuntimeServicesAt = 88;
constexpr unsigned kGetTimeAt = 24;
constexpr unsigned kResetSystemAt = 104;
constexpr uint32_t kEfiResetShutdown = 2;

struct EfiTime {
    uint16_t year;
    uint8_t month, day, hour, minute, second, pad1;
    uint32_t nanosecond;
    int16_t time_zone;
    uint8_t daylight, pad2;
};

using GetTime = uint64_t(__attribute__((ms_abi)) *)(EfiTime* time, void* capabilities);
using ResetSystem = void(__attribute__((ms_abi)) *)(uint32_t type, uint64_t status,
                                                    uint64_t data_size, void* data);

uint64_t read_u64(uint64_t physical, unsigned offset) {
    return *reinterpret_cast<const volatile uint64_t*>(QUILLMOR_DIRECT_MAP_OFFSET + physical +
                                                       offset);
}

// The runtime-services table's address, or 0 when the system table is not one.
uint64_t runtime_services(const quillmor_extension& extension) {
    if (extension.system_table == 0 ||
        read_u64(extension.system_table, 0) != kSystemTableSignature) {
        return 0;
    }
    return read_u64(extension.system_table, kRuntimeServicesAt);
}

void print_two(unsigned value) {
    print(value < 10 ? "0" : "", static_cast<uint64_t>(value));
}

} // namespace

const quillmor_extension* extension_of(const quillmor_handoff& record) {
    if (record.extension < QUILLMOR_DIRECT_MAP_OFFSET) {
        return nullptr;
    }
    const auto* extension = reinterpret_cast<const quillmor_extension*>(record.extension);
    for (unsigned i = 0; i < sizeof(extension->magic); ++i) {
        if (extension->magic[i] != QUILLMOR_EXTENSION_MAGIC_TEXT[i]) {
            return nullptr;
        }
    }
    return extension->version >= QUILLMOR_EXTENSION_VERSION &&
                   extension->size >= sizeof(quillmor_extension)
               ? extension
               : nullptr;
}

bool print_extension(const quillmor_handoff& record) {
    const quillmor_extension* extension = extension_of(record);
    if (extension == nullptr) {
        print("extension: PROBLEM: no extension block at ", Hex{record.extension}, "\r\n");
        return false;
    }
    const uint64_t runtime = runtime_services(*extension);
    print("extension: EFI system table at ", Hex{extension->system_table},
          runtime != 0 ? ", runtime services at " : " (PROBLEM: no system table signature)",
          runtime != 0 ? Hex{runtime} : Hex{0}, "\r\n");
    print("  memory map as the loader left the firmware: ",
          extension->memory_map_size /
              (extension->memory_map_descriptor_size ? extension->memory_map_descriptor_size : 1),
          " descriptors of ", extension->memory_map_descriptor_size, " bytes at ",
          Hex{extension->memory_map}, "\r\n");
    print("  SMBIOS 3.0 entry point ", Hex{extension->smbios3_entry}, ", 2.1 entry point ",
          Hex{extension->smbios_entry}, "; flags: Secure Boot ",
          extension->flags & QUILLMOR_EXTENSION_SECURE_BOOT ? "on" : "off", ", ",
          extension->flags & QUILLMOR_EXTENSION_SEALED ? "sealed" : "not sealed", "\r\n");
    print("  loader ran ", extension->tsc_at_handover - extension->tsc_at_entry,
          " TSC cycles; command line (", extension->command_line_length, " bytes): \"",
          Field{extension->command_line_bytes, extension->command_line_length}, "\"\r\n");
    if (runtime == 0) {
        return false;
    }
    EfiTime now = {};
    const auto get_time = reinterpret_cast<GetTime>(read_u64(runtime, kGetTimeAt));
    if (get_time(&now, nullptr) != 0) {
        print("  GetTime: PROBLEM: the firmware refused\r\n");
        return false;
    }
    print("  GetTime: ", static_cast<uint64_t>(now.year), "-");
    print_two(now.month);
    print("-");
    print_two(now.day);
    print(" ");
    print_two(now.hour);
    print(":");
    print_two(now.minute);
    print(":");
    print_two(now.second);
    print("\r\n");
    return true;
}

bool command_line_is(const quillmor_handoff& record, const char* word) {
    const quillmor_extension* extension = extension_of(record);
    if (extension == nullptr) {
        return false;
    }
    uint64_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= extension->command_line_length || extension->command_line_bytes[i] != word[i]) {
            return false;
        }
    }
    return i == extension->command_line_length;
}

void power_off(const quillmor_handoff& record) {
    const quillmor_extension* extension = extension_of(record);
    const uint64_t runtime = extension != nullptr ? runtime_services(*extension) : 0;
    if (runtime == 0) {
        return;
    }
    const auto reset = reinterpret_cast<ResetSystem>(read_u64(runtime, kResetSystemAt));
    reset(kEfiResetShutdown, 0, 0, nullptr);
}
