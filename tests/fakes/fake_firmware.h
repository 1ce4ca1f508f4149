// A fake UEFI firmware built by the test: a system table and boot-services
// table whose functions (with the firmware's calling convention) record every
// call and answer as a firmware would. Memory comes from one host arena, so
// the loader reads and writes what it obtains for real. As built it is a PC
// with a typical memory map, a 1024 x 768 framebuffer on the first of two
// graphics handles, ACPI 1.0 and 2.0 tables and SMBIOS 3.0 and 2.1 entry
// points; the test adds the files.
// Any occurrence of any call can be made to misbehave the way a broken
// firmware does (`faults`).
#pragma once

#include "uefi/uefi.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// How a call misbehaves (`shape`); a shape the call cannot take leaves it
// healthy.
//   Status       fails with the fault's status
//   Unchanged    succeeds without writing anything back
//   Misaligned   memory 4 bytes off the alignment promised
//   PastTop      memory that runs past 2^64
//   SizeZero     a size of 0: an empty map, no handles
//   SizeOdd      a size that is not a multiple of the handle size
//   StrideSmall  a memory map with descriptors of 24 bytes
//   Overfull     a memory map a byte larger than the buffer offered
//   Short        a file a byte shorter than it is
//   Long         a file a byte longer than it is: the last Read delivers nothing
//   Gone         answers, then the boot services vanish from the system table
struct Fault {
    std::string call; // "AllocatePages", "File.Read", ...
    int occurrence;   // counted from 0 for each call name
    std::string shape = "Status";
    EFI_STATUS status = EFI_DEVICE_ERROR;
    bool sticky = false; // every later occurrence misbehaves the same way
};

struct ExitCall {
    EFI_STATUS status;   // 0 when Exit was given another image handle
    std::u16string data; // as many units as the size given says, the NUL included
};

struct FakeFirmware {
    explicit FakeFirmware(uint64_t arena_bytes = 4ull << 20);
    ~FakeFirmware();

    EFI_SYSTEM_TABLE* system_table() { return &system_table_; }
    EFI_BOOT_SERVICES& boot_services() { return boot_services_; }
    EFI_HANDLE image_handle() const { return reinterpret_cast<EFI_HANDLE>(0x1a1a000); }
    EFI_HANDLE device_handle() const { return reinterpret_cast<EFI_HANDLE>(0xdede000); }
    EFI_HANDLE graphics_handle() const { return reinterpret_cast<EFI_HANDLE>(0x6f6f000); }
    uint64_t arena_base() const { return reinterpret_cast<uint64_t>(arena); }

    // The fault for this occurrence of `call`, if any; counts the occurrence.
    const Fault* fault_for(const char* call);
    // Bytes from the arena, 0 when they cannot be had: pages page-aligned,
    // pool blocks 8-byte aligned.
    uint64_t allocate(uint64_t bytes, bool pages);
    void add_descriptor(uint32_t type, uint64_t start, uint64_t pages) {
        memory_map.push_back({type, 0, start, 0, pages, 0xf});
    }

    std::vector<Fault> faults;
    std::vector<std::string> calls; // every call that can misbehave, by name, in order

    // Allocations come from the arena in order, and the arena is one
    // loader-data descriptor of the map (the 12th). Larger ones are refused,
    // as a firmware whose free memory lies in small pieces does.
    uint64_t largest_allocation = ~0ull; // in bytes
    // Descriptors the firmware adds for allocations of its own once it has
    // answered a size query (one page each, apart, reserved).
    uint64_t own_growth = 0;
    std::vector<EFI_MEMORY_DESCRIPTOR> memory_map;
    UINTN descriptor_size = 48;
    UINTN map_key = 0x100;

    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {};
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL file_system = {};
    std::map<std::string, std::vector<uint8_t>> files;
    struct OpenFile {
        EFI_FILE_PROTOCOL protocol; // first, so that `This` leads here
        const std::vector<uint8_t>* bytes;
        uint64_t told_size = 0;   // FileSize as GetInfo gave it
        uint64_t reported = 0;    // bytes the Reads said they delivered
        uint64_t next_buffer = 0; // right after the last piece; 0 before the first
        bool closed = false;
    };
    std::deque<OpenFile> open_files;
    std::vector<std::pair<uint64_t, uint64_t>> allocations; // address, bytes; pages and pool
    // The global variable SecureBoot; none: no such variable.
    std::optional<uint8_t> secure_boot;

    // Lines of 1056 pixels: a pitch of 4224 bytes, 792 pages in all.
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION graphics_info = {
        0, 1024, 768, PixelBlueGreenRedReserved8BitPerColor, {}, 1056};
    EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE graphics_mode = {1, 0, &graphics_info, 36, 0x80000000, 0};
    EFI_GRAPHICS_OUTPUT_PROTOCOL graphics = {nullptr, nullptr, nullptr, &graphics_mode};
    uint8_t acpi_tables[2][36] = {};
    uint8_t smbios_entries[2][32] = {}; // 3.0, then 2.1
    EFI_CONFIGURATION_TABLE configuration[4] = {{ACPI_TABLE_GUID, acpi_tables[0]},
                                                {SMBIOS3_TABLE_GUID, smbios_entries[0]},
                                                {EFI_ACPI_20_TABLE_GUID, acpi_tables[1]},
                                                {SMBIOS_TABLE_GUID, smbios_entries[1]}};

    // What the text consoles were asked, in order: "<err 4>" for an attribute
    // set on StdErr, "<out 15>" on ConOut, and every string as it was output.
    std::u16string console;
    std::optional<ExitCall> exit_call;
    std::vector<UINTN> exit_boot_services_keys;

    uint8_t* arena;
    uint64_t arena_size;
    uint64_t arena_used = 0;
    EFI_SYSTEM_TABLE system_table_ = {};
    EFI_BOOT_SERVICES boot_services_ = {};
    EFI_RUNTIME_SERVICES runtime_services_ = {};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL standard_error = {};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL console_out = {};
};
