// A fake UEFI firmware built by the test: a system table and boot-services
// table whose functions (with the firmware's calling convention) record every
// call and answer as a firmware would. Memory comes from one host arena, so
// the loader reads and writes what it obtains for real. Any occurrence of any
// call can be made to misbehave the way a broken firmware does (`faults`).
#pragma once

#include "uefi/uefi.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

// How a call misbehaves. A shape the call cannot take leaves it healthy.
enum class Shape : uint8_t {
    Status,      // fails with the fault's status
    NullOut,     // succeeds, handing back a null pointer or handle
    Unchanged,   // succeeds without writing anything back
    Misaligned,  // succeeds with an address off the alignment the call promises
    PastTop,     // succeeds with memory, a size or a file that runs past 2^64
    SizeZero,    // succeeds with a size of 0: empty map, empty file, nothing read
    SizeHuge,    // succeeds with a size beyond the buffer offered or beyond reason
    SizeOdd,     // succeeds with a size that is not a multiple of its stride
    StrideZero,  // a memory map with a descriptor size of 0
    StrideSmall, // a memory map with a descriptor size of 24
    Short,       // succeeds with fewer bytes than asked for, or a smaller file
    Long,        // succeeds with more bytes than asked for, or a larger file
    OwnAsFree,   // a memory map listing the loader's pages as free memory
    Gone,        // answers, then the boot services vanish from the system table
    // Graphics modes, taken by OpenProtocol when it opens the Graphics Output
    // Protocol: no mode, zero width, Blt only, a framebuffer at 2^47, and a
    // scan line whose pitch does not fit in 32 bits.
    NoMode,
    ZeroWidth,
    BltOnly,
    HighFramebuffer,
    PitchPast32Bits,
};

struct Fault {
    std::string call; // "AllocatePages", "File.Read", ...
    int occurrence;   // counted from 0 for each call name
    Shape shape = Shape::Status;
    EFI_STATUS status = EFI_DEVICE_ERROR;
    bool sticky = false; // every later occurrence misbehaves the same way
};

struct ExitCall {
    EFI_STATUS status; // 0 when Exit was given another image handle
    UINTN data_size;
    std::u16string data; // data_size / 2 units, the NUL included
};

struct FakeFirmware {
    explicit FakeFirmware(uint64_t arena_bytes = 4ull << 20);
    ~FakeFirmware();
    FakeFirmware(const FakeFirmware&) = delete;
    FakeFirmware& operator=(const FakeFirmware&) = delete;

    static FakeFirmware& current();
    EFI_SYSTEM_TABLE* system_table() { return &system_table_; }
    EFI_BOOT_SERVICES& boot_services() { return boot_services_; }
    EFI_HANDLE image_handle() const { return reinterpret_cast<EFI_HANDLE>(0x1a1a000); }
    EFI_HANDLE device_handle() const { return reinterpret_cast<EFI_HANDLE>(0xdede000); }
    EFI_HANDLE graphics_handle() const { return reinterpret_cast<EFI_HANDLE>(0x6f6f000); }
    uint64_t arena_base() const { return reinterpret_cast<uint64_t>(arena); }
    uint64_t arena_end() const { return arena_base() + arena_size; }

    // The fault for this occurrence of `call`, if any; counts the occurrence.
    const Fault* fault_for(const char* call);
    // Bytes from the arena, 0 when they cannot be had: pages page-aligned,
    // pool blocks 8-byte aligned (on pages of their own when fragmenting).
    uint64_t allocate(uint64_t bytes, bool pages);
    void add_descriptor(uint32_t type, uint64_t start, uint64_t pages);
    void use_typical_memory_map();
    void install_graphics(uint32_t width, uint32_t height, uint64_t framebuffer_base);
    void sync_configuration();

    std::vector<Fault> faults;
    std::vector<std::string> calls; // every call by name, in order
    std::map<std::string, int> occurrences;

    // A fragmenting firmware serves every allocation from a conventional-
    // memory descriptor of the map, one it can sit inside a page in whenever
    // there is one, so that the descriptor splits in three: the worst a
    // firmware that never merges does. Else allocations come from the arena
    // in order, and the arena is one loader-data descriptor.
    bool fragmenting = false;
    std::vector<EFI_MEMORY_DESCRIPTOR> memory_map;
    UINTN descriptor_size = 48;
    UINTN map_key = 0x100;

    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {};
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL file_system = {};
    std::map<std::string, std::vector<uint8_t>> files;
    struct OpenFile {
        EFI_FILE_PROTOCOL protocol; // first, so that `This` leads here
        const std::vector<uint8_t>* bytes;
        uint64_t position;
    };
    std::deque<OpenFile> open_files;

    EFI_GRAPHICS_OUTPUT_PROTOCOL graphics = {};
    EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE graphics_mode = {};
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION graphics_info = {};
    bool graphics_installed = false;
    std::vector<EFI_CONFIGURATION_TABLE> configuration;

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
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL standard_error = {};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL console_out = {};
};

// Text of a firmware path, for comparisons.
std::string narrow(const CHAR16* text);
