// A fake UEFI firmware built by the test: a system table and boot-services
// table whose functions (with the firmware's calling convention) record every
// call and answer from what the test configured. Memory comes from one host
// arena, so the loader reads and writes what it obtains for real.
#pragma once

#include "uefi/uefi.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct FakeFile {
    std::vector<uint8_t> bytes;
    EFI_STATUS open_status = EFI_SUCCESS;
    EFI_STATUS get_info_status = EFI_SUCCESS;
    std::optional<UINTN> info_size; // the size GetInfo reports; default: the real record size
    std::map<int, EFI_STATUS> read_status; // status of Read call n; default: success
    std::optional<UINTN> readable;         // bytes before Read finds the end; default: all
    std::optional<UINTN> read_count;       // bytes every Read reports; default: what it delivered
    std::vector<UINTN> read_requests;      // byte counts Read was asked for
    int open_count = 0;
    int close_count = 0;
};

struct OpenProtocolCall {
    EFI_HANDLE handle;
    EFI_GUID protocol;
    EFI_HANDLE agent;
    EFI_HANDLE controller;
    uint32_t attributes;
};

struct ExitCall {
    EFI_HANDLE image;
    EFI_STATUS status;
    UINTN data_size;
    std::u16string data; // exactly data_size / 2 units, including the NUL
};

struct ConsoleLog {
    std::vector<std::u16string> strings;
    std::vector<UINTN> attributes;  // in call order
    std::vector<std::string> calls; // "attr" / "text", in order
};

class FakeFirmware {
  public:
    enum class Placement { Ascending, Descending };

    explicit FakeFirmware(uint64_t arena_bytes = 64ull << 20);
    ~FakeFirmware();
    FakeFirmware(const FakeFirmware&) = delete;
    FakeFirmware& operator=(const FakeFirmware&) = delete;

    static FakeFirmware& current();

    EFI_SYSTEM_TABLE* system_table() { return &system_table_; }
    EFI_BOOT_SERVICES& boot_services() { return boot_services_; }
    EFI_HANDLE image_handle() const { return image_handle_; }
    EFI_HANDLE device_handle() const { return device_handle_; }
    EFI_HANDLE graphics_handle() const { return graphics_handle_; }

    // Every firmware call by name, in order ("AllocatePages", "GetMemoryMap", ...).
    std::vector<std::string> calls;

    // ---- memory ---------------------------------------------------------
    uint64_t arena_base() const;
    uint64_t arena_end() const;
    Placement placement = Placement::Ascending;
    int allocate_pages_successes_left = -1; // -1: unlimited
    int allocate_pool_successes_left = -1;
    std::vector<uint64_t> page_requests; // page counts asked for
    std::vector<uint64_t> pool_requests; // byte counts asked for
    // Pool blocks start this many bytes into a fresh 16-byte-aligned spot.
    uint64_t pool_offset = 0;
    // Bytes of the arena handed out so far.
    uint64_t arena_used() const { return arena_used_; }

    // ---- memory map -----------------------------------------------------
    std::vector<EFI_MEMORY_DESCRIPTOR> memory_map;
    UINTN descriptor_size = 48;
    uint32_t descriptor_version = 1;
    // Status of GetMemoryMap call n (0 is the loader's size query).
    std::map<int, EFI_STATUS> get_memory_map_status;
    // Runs before GetMemoryMap call n answers; may change memory_map.
    std::function<void(int call)> before_get_memory_map;
    int get_memory_map_calls = 0;
    // Any allocation changes the map, as on real firmware.
    UINTN current_map_key() const { return map_key_; }
    void change_map() { ++map_key_; }

    void add_descriptor(uint32_t type, uint64_t start, uint64_t pages);
    // A plausible PC map whose loader-data descriptor covers the arena.
    void use_typical_memory_map();

    // ---- protocols and volume -------------------------------------------
    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {};
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL file_system = {};
    void set_protocol(EFI_HANDLE handle, const EFI_GUID& protocol, void* interface,
                      EFI_STATUS status = EFI_SUCCESS);
    void remove_protocol(EFI_HANDLE handle, const EFI_GUID& protocol);
    std::vector<OpenProtocolCall> open_protocol_calls;
    // Runs before OpenProtocol call n answers.
    std::function<void(int call)> before_open_protocol;
    EFI_STATUS open_volume_status = EFI_SUCCESS;

    FakeFile& add_file(const std::string& path, std::vector<uint8_t> bytes);
    FakeFile& file(const std::string& path);
    std::vector<std::string> opened_paths; // every path Open was asked for

    // ---- graphics -------------------------------------------------------
    EFI_GRAPHICS_OUTPUT_PROTOCOL graphics = {};
    EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE graphics_mode = {};
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION graphics_info = {};
    std::vector<EFI_HANDLE> graphics_handles;
    EFI_STATUS locate_handle_status = EFI_SUCCESS;
    std::optional<UINTN> locate_handle_size; // overrides the byte count reported
    void install_graphics(uint32_t width, uint32_t height, uint32_t pixels_per_line,
                          EFI_GRAPHICS_PIXEL_FORMAT format, uint64_t framebuffer_base);

    // ---- configuration table --------------------------------------------
    std::vector<EFI_CONFIGURATION_TABLE> configuration;
    void sync_configuration(); // after changing `configuration`

    // ---- consoles, exit, ExitBootServices -------------------------------
    ConsoleLog standard_error;
    ConsoleLog console_out;
    std::optional<ExitCall> exit_call;
    std::vector<UINTN> exit_boot_services_keys;
    // {Timeout, WatchdogCode, DataSize, WatchdogData} of every SetWatchdogTimer call.
    std::vector<std::vector<uint64_t>> watchdog_calls;
    // Status of ExitBootServices call n; default: success iff the key is
    // current. The first call accepts unaccepted memory, which changes the
    // map (and so its key) when the map has any.
    std::map<int, EFI_STATUS> exit_boot_services_status;

    // Implementations behind the firmware-convention entry points.
    EFI_STATUS allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, UINTN pages,
                              EFI_PHYSICAL_ADDRESS* memory);
    EFI_STATUS allocate_pool(EFI_MEMORY_TYPE pool_type, UINTN size, void** buffer);
    EFI_STATUS get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                              UINTN* descriptor_size, uint32_t* version);
    EFI_STATUS open_protocol(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface,
                             EFI_HANDLE agent, EFI_HANDLE controller, uint32_t attributes);
    EFI_STATUS locate_handle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol, void* key,
                             UINTN* size, EFI_HANDLE* buffer);
    EFI_STATUS exit(EFI_HANDLE image, EFI_STATUS status, UINTN size, CHAR16* data);
    EFI_STATUS exit_boot_services(EFI_HANDLE image, UINTN key);
    EFI_STATUS set_watchdog_timer(UINTN timeout, uint64_t code, UINTN size, CHAR16* data);
    EFI_STATUS open_file(const CHAR16* name, EFI_FILE_PROTOCOL** out);

  private:
    struct ProtocolEntry {
        void* interface;
        EFI_STATUS status;
    };

    uint8_t* arena_ = nullptr;
    uint64_t arena_size_ = 0;
    uint64_t arena_used_ = 0;
    UINTN map_key_ = 0x100;
    int exit_boot_services_calls_ = 0;

    EFI_HANDLE image_handle_;
    EFI_HANDLE device_handle_;
    EFI_HANDLE graphics_handle_;
    EFI_SYSTEM_TABLE system_table_ = {};
    EFI_BOOT_SERVICES boot_services_ = {};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL standard_error_protocol_ = {};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL console_out_protocol_ = {};
    std::map<std::pair<EFI_HANDLE, std::string>, ProtocolEntry> protocols_;
    std::map<std::string, FakeFile> files_;

    uint64_t take_from_arena(uint64_t bytes, uint64_t alignment, uint64_t offset);
};

// An AllocatePool that reports success but hands over no buffer, as a broken
// firmware might.
EFI_STATUS EFIAPI fake_pool_without_buffer(EFI_MEMORY_TYPE pool_type, UINTN size, void** buffer);

// Text of a firmware path, for comparisons.
std::string narrow(const CHAR16* text);
