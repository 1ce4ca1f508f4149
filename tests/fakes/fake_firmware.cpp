#include "tests/fakes/fake_firmware.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

FakeFirmware* current_firmware = nullptr;

// The root directory and every opened file are this: the protocol first, so
// `This` leads back to the fake.
struct FakeFileHandle {
    EFI_FILE_PROTOCOL protocol;
    FakeFile* file; // null for the root directory
    UINTN position;
};

std::string guid_key(const EFI_GUID& guid) {
    return std::string(reinterpret_cast<const char*>(&guid), sizeof(guid));
}

FakeFirmware& fw() {
    return FakeFirmware::current();
}

EFI_STATUS EFIAPI AllocatePagesThunk(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type,
                                     UINTN pages, EFI_PHYSICAL_ADDRESS* memory) {
    return fw().allocate_pages(type, memory_type, pages, memory);
}
EFI_STATUS EFIAPI AllocatePoolThunk(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
    return fw().allocate_pool(type, size, buffer);
}
EFI_STATUS EFIAPI GetMemoryMapThunk(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                                    UINTN* descriptor_size, uint32_t* version) {
    return fw().get_memory_map(size, map, key, descriptor_size, version);
}
EFI_STATUS EFIAPI OpenProtocolThunk(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface,
                                    EFI_HANDLE agent, EFI_HANDLE controller, uint32_t attributes) {
    return fw().open_protocol(handle, protocol, interface, agent, controller, attributes);
}
EFI_STATUS EFIAPI LocateHandleThunk(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol,
                                    void* key, UINTN* size, EFI_HANDLE* buffer) {
    return fw().locate_handle(type, protocol, key, size, buffer);
}
EFI_STATUS EFIAPI ExitThunk(EFI_HANDLE image, EFI_STATUS status, UINTN size, CHAR16* data) {
    return fw().exit(image, status, size, data);
}
EFI_STATUS EFIAPI ExitBootServicesThunk(EFI_HANDLE image, UINTN key) {
    return fw().exit_boot_services(image, key);
}
EFI_STATUS EFIAPI SetWatchdogTimerThunk(UINTN timeout, uint64_t code, UINTN size, CHAR16* data) {
    return fw().set_watchdog_timer(timeout, code, size, data);
}

EFI_STATUS EFIAPI OpenVolumeThunk(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*, EFI_FILE_PROTOCOL** root);
EFI_STATUS EFIAPI FileOpenThunk(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL** out, const CHAR16* name,
                                uint64_t mode, uint64_t attributes);
EFI_STATUS EFIAPI FileCloseThunk(EFI_FILE_PROTOCOL* self);
EFI_STATUS EFIAPI FileReadThunk(EFI_FILE_PROTOCOL* self, UINTN* size, void* buffer);
EFI_STATUS EFIAPI FileGetInfoThunk(EFI_FILE_PROTOCOL* self, const EFI_GUID* type, UINTN* size,
                                   void* buffer);

std::vector<FakeFileHandle*>& file_handles() {
    static std::vector<FakeFileHandle*> handles;
    return handles;
}

FakeFileHandle* new_file_handle(FakeFile* file) {
    auto* handle = new FakeFileHandle{};
    handle->protocol.Revision = 0x00010000;
    handle->protocol.Open = FileOpenThunk;
    handle->protocol.Close = FileCloseThunk;
    handle->protocol.Read = FileReadThunk;
    handle->protocol.GetInfo = FileGetInfoThunk;
    handle->file = file;
    file_handles().push_back(handle);
    return handle;
}

EFI_STATUS EFIAPI OpenVolumeThunk(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*, EFI_FILE_PROTOCOL** root) {
    fw().calls.push_back("OpenVolume");
    if (fw().open_volume_status != EFI_SUCCESS) {
        return fw().open_volume_status;
    }
    *root = &new_file_handle(nullptr)->protocol;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FileOpenThunk(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL** out, const CHAR16* name,
                                uint64_t mode, uint64_t attributes) {
    fw().calls.push_back("File.Open");
    if (mode != EFI_FILE_MODE_READ || attributes != 0) {
        return EFI_INVALID_PARAMETER;
    }
    return fw().open_file(name, out);
}

EFI_STATUS EFIAPI FileCloseThunk(EFI_FILE_PROTOCOL* self) {
    fw().calls.push_back("File.Close");
    auto* handle = reinterpret_cast<FakeFileHandle*>(self);
    if (handle->file != nullptr) {
        handle->file->close_count += 1;
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FileReadThunk(EFI_FILE_PROTOCOL* self, UINTN* size, void* buffer) {
    fw().calls.push_back("File.Read");
    auto* handle = reinterpret_cast<FakeFileHandle*>(self);
    FakeFile& file = *handle->file;
    const auto scripted = file.read_status.find(static_cast<int>(file.read_requests.size()));
    file.read_requests.push_back(*size);
    if (scripted != file.read_status.end()) {
        return scripted->second;
    }
    const UINTN end = std::min<UINTN>(file.readable.value_or(SIZE_MAX), file.bytes.size());
    const UINTN count = std::min<UINTN>(*size, end - std::min<UINTN>(end, handle->position));
    std::memcpy(buffer, file.bytes.data() + handle->position, count);
    handle->position += count;
    *size = file.read_count.value_or(count);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FileGetInfoThunk(EFI_FILE_PROTOCOL* self, const EFI_GUID* type, UINTN* size,
                                   void* buffer) {
    fw().calls.push_back("File.GetInfo");
    auto* handle = reinterpret_cast<FakeFileHandle*>(self);
    FakeFile& file = *handle->file;
    if (!(*type == EFI_FILE_INFO_ID)) {
        return EFI_UNSUPPORTED;
    }
    const UINTN needed = file.info_size.value_or(sizeof(EFI_FILE_INFO) + 2 * 16);
    if (file.get_info_status != EFI_SUCCESS) {
        *size = needed;
        return file.get_info_status;
    }
    if (*size < needed) {
        *size = needed;
        return EFI_BUFFER_TOO_SMALL;
    }
    EFI_FILE_INFO info = {};
    info.Size = needed;
    info.FileSize = file.bytes.size();
    info.PhysicalSize = (file.bytes.size() + 511) / 512 * 512;
    std::memcpy(buffer, &info, sizeof(info));
    *size = needed;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetAttributeThunk(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, UINTN attribute) {
    FakeFirmware& firmware = fw();
    ConsoleLog& log =
        self == firmware.system_table()->StdErr ? firmware.standard_error : firmware.console_out;
    log.attributes.push_back(attribute);
    log.calls.push_back("attr");
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OutputStringThunk(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, const CHAR16* text) {
    FakeFirmware& firmware = fw();
    ConsoleLog& log =
        self == firmware.system_table()->StdErr ? firmware.standard_error : firmware.console_out;
    std::u16string copy;
    for (const CHAR16* unit = text; *unit != 0; ++unit) {
        copy.push_back(static_cast<char16_t>(*unit));
    }
    log.strings.push_back(copy);
    log.calls.push_back("text");
    return EFI_SUCCESS;
}

} // namespace

EFI_STATUS EFIAPI fake_pool_without_buffer(EFI_MEMORY_TYPE, UINTN, void** buffer) {
    *buffer = nullptr;
    return EFI_SUCCESS;
}

std::string narrow(const CHAR16* text) {
    std::string out;
    for (const CHAR16* unit = text; *unit != 0; ++unit) {
        out.push_back(static_cast<char>(*unit));
    }
    return out;
}

FakeFirmware::FakeFirmware(uint64_t arena_bytes)
    : image_handle_(reinterpret_cast<EFI_HANDLE>(0x1a1a000)),
      device_handle_(reinterpret_cast<EFI_HANDLE>(0xdede000)),
      graphics_handle_(reinterpret_cast<EFI_HANDLE>(0x6f6f000)) {
    arena_size_ = arena_bytes;
    arena_ = static_cast<uint8_t*>(std::aligned_alloc(4096, arena_bytes));
    if (arena_ == nullptr) {
        throw std::bad_alloc();
    }
    // Memory as the firmware hands it over is not clear: make that visible.
    std::memset(arena_, 0xCC, arena_bytes);

    boot_services_.AllocatePages = AllocatePagesThunk;
    boot_services_.AllocatePool = AllocatePoolThunk;
    boot_services_.GetMemoryMap = GetMemoryMapThunk;
    boot_services_.OpenProtocol = OpenProtocolThunk;
    boot_services_.LocateHandle = LocateHandleThunk;
    boot_services_.Exit = ExitThunk;
    boot_services_.ExitBootServices = ExitBootServicesThunk;
    boot_services_.SetWatchdogTimer = SetWatchdogTimerThunk;

    standard_error_protocol_.OutputString = OutputStringThunk;
    standard_error_protocol_.SetAttribute = SetAttributeThunk;
    console_out_protocol_.OutputString = OutputStringThunk;
    console_out_protocol_.SetAttribute = SetAttributeThunk;

    system_table_.BootServices = &boot_services_;
    system_table_.StdErr = &standard_error_protocol_;
    system_table_.ConOut = &console_out_protocol_;

    loaded_image.DeviceHandle = device_handle_;
    file_system.OpenVolume = OpenVolumeThunk;
    set_protocol(image_handle_, EFI_LOADED_IMAGE_PROTOCOL_GUID, &loaded_image);
    set_protocol(device_handle_, EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, &file_system);

    current_firmware = this;
}

FakeFirmware::~FakeFirmware() {
    for (FakeFileHandle* handle : file_handles()) {
        delete handle;
    }
    file_handles().clear();
    std::free(arena_);
    if (current_firmware == this) {
        current_firmware = nullptr;
    }
}

FakeFirmware& FakeFirmware::current() {
    if (current_firmware == nullptr) {
        throw std::logic_error("no fake firmware installed");
    }
    return *current_firmware;
}

uint64_t FakeFirmware::arena_base() const {
    return reinterpret_cast<uint64_t>(arena_);
}

uint64_t FakeFirmware::arena_end() const {
    return arena_base() + arena_size_;
}

uint64_t FakeFirmware::take_from_arena(uint64_t bytes, uint64_t alignment, uint64_t offset) {
    if (placement == Placement::Ascending) {
        const uint64_t start = (arena_used_ + alignment - 1) / alignment * alignment + offset;
        if (start + bytes > arena_size_) {
            return 0;
        }
        arena_used_ = start + bytes;
        return arena_base() + start;
    }
    // Descending: hand out from the top, the way OVMF places pages.
    if (bytes + offset > arena_size_ - arena_used_) {
        return 0;
    }
    const uint64_t top = arena_size_ - arena_used_ - bytes - offset;
    const uint64_t start = top / alignment * alignment + offset;
    arena_used_ = arena_size_ - start + offset;
    return arena_base() + start;
}

EFI_STATUS FakeFirmware::allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type,
                                        UINTN pages, EFI_PHYSICAL_ADDRESS* memory) {
    calls.push_back("AllocatePages");
    page_requests.push_back(pages);
    if (type != AllocateAnyPages || memory_type != EfiLoaderData) {
        return EFI_INVALID_PARAMETER;
    }
    if (allocate_pages_successes_left == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    if (pages > arena_size_ / 4096) {
        return EFI_OUT_OF_RESOURCES;
    }
    const uint64_t address = take_from_arena(pages * 4096, 4096, 0);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    if (allocate_pages_successes_left > 0) {
        --allocate_pages_successes_left;
    }
    change_map();
    *memory = address;
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::allocate_pool(EFI_MEMORY_TYPE pool_type, UINTN size, void** buffer) {
    calls.push_back("AllocatePool");
    pool_requests.push_back(size);
    if (pool_type != EfiLoaderData) {
        return EFI_INVALID_PARAMETER;
    }
    if (allocate_pool_successes_left == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    const uint64_t address = take_from_arena(size == 0 ? 1 : size, 16, pool_offset);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    if (allocate_pool_successes_left > 0) {
        --allocate_pool_successes_left;
    }
    change_map();
    *buffer = reinterpret_cast<void*>(address);
    return EFI_SUCCESS;
}

void FakeFirmware::add_descriptor(uint32_t type, uint64_t start, uint64_t pages) {
    EFI_MEMORY_DESCRIPTOR descriptor = {};
    descriptor.Type = type;
    descriptor.PhysicalStart = start;
    descriptor.NumberOfPages = pages;
    descriptor.Attribute = 0xf;
    memory_map.push_back(descriptor);
}

void FakeFirmware::use_typical_memory_map() {
    memory_map.clear();
    add_descriptor(EfiBootServicesCode, 0x0, 1);
    add_descriptor(EfiConventionalMemory, 0x1000, 0x9f);
    add_descriptor(EfiReservedMemoryType, 0xa0000, 0x60);
    add_descriptor(EfiConventionalMemory, 0x100000, 0x700);
    add_descriptor(EfiACPIMemoryNVS, 0x800000, 0x8);
    add_descriptor(EfiConventionalMemory, 0x808000, 0x7f8);
    add_descriptor(EfiBootServicesData, 0x1000000, 0x400);
    add_descriptor(EfiBootServicesCode, 0x1400000, 0x100);
    add_descriptor(EfiACPIReclaimMemory, 0x1500000, 0x10);
    add_descriptor(EfiRuntimeServicesData, 0x1510000, 0x20);
    add_descriptor(EfiConventionalMemory, 0x1530000, 0x2ad0);
    // Everything the loader obtains comes from the arena: loader data.
    add_descriptor(EfiLoaderData, arena_base(), arena_size_ / 4096);
    add_descriptor(EfiMemoryMappedIO, 0xffc00000, 0x400);
}

EFI_STATUS FakeFirmware::get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                                        UINTN* stride, uint32_t* version) {
    calls.push_back("GetMemoryMap");
    const int call = get_memory_map_calls++;
    if (before_get_memory_map) {
        before_get_memory_map(call);
    }
    const UINTN needed = memory_map.size() * descriptor_size;
    *stride = descriptor_size;
    *version = descriptor_version;
    const auto scripted = get_memory_map_status.find(call);
    if (scripted != get_memory_map_status.end() && scripted->second != EFI_SUCCESS) {
        *size = needed;
        return scripted->second;
    }
    if (map == nullptr || *size < needed) {
        *size = needed;
        // A firmware may answer the size query with success.
        if (scripted != get_memory_map_status.end()) {
            *key = map_key_;
            return EFI_SUCCESS;
        }
        return EFI_BUFFER_TOO_SMALL;
    }
    auto* out = reinterpret_cast<uint8_t*>(map);
    std::memset(out, 0xEE, needed);
    for (size_t i = 0; i < memory_map.size(); ++i) {
        std::memcpy(out + i * descriptor_size, &memory_map[i], sizeof(EFI_MEMORY_DESCRIPTOR));
    }
    *size = needed;
    *key = map_key_;
    return EFI_SUCCESS;
}

void FakeFirmware::set_protocol(EFI_HANDLE handle, const EFI_GUID& protocol, void* interface,
                                EFI_STATUS status) {
    protocols_[{handle, guid_key(protocol)}] = {interface, status};
}

void FakeFirmware::remove_protocol(EFI_HANDLE handle, const EFI_GUID& protocol) {
    protocols_.erase({handle, guid_key(protocol)});
}

EFI_STATUS FakeFirmware::open_protocol(EFI_HANDLE handle, const EFI_GUID* protocol,
                                       void** interface, EFI_HANDLE agent, EFI_HANDLE controller,
                                       uint32_t attributes) {
    calls.push_back("OpenProtocol");
    const int call = static_cast<int>(open_protocol_calls.size());
    open_protocol_calls.push_back({handle, *protocol, agent, controller, attributes});
    if (before_open_protocol) {
        before_open_protocol(call);
    }
    const auto found = protocols_.find({handle, guid_key(*protocol)});
    if (found == protocols_.end()) {
        return EFI_UNSUPPORTED;
    }
    if (found->second.status == EFI_SUCCESS) {
        *interface = found->second.interface;
    }
    return found->second.status;
}

FakeFile& FakeFirmware::add_file(const std::string& path, std::vector<uint8_t> bytes) {
    FakeFile& file = files_[path];
    file = FakeFile{};
    file.bytes = std::move(bytes);
    return file;
}

FakeFile& FakeFirmware::file(const std::string& path) {
    return files_.at(path);
}

EFI_STATUS FakeFirmware::open_file(const CHAR16* name, EFI_FILE_PROTOCOL** out) {
    const std::string path = narrow(name);
    opened_paths.push_back(path);
    const auto found = files_.find(path);
    if (found == files_.end()) {
        return EFI_NOT_FOUND;
    }
    FakeFile& file = found->second;
    file.open_count += 1;
    if (file.open_status != EFI_SUCCESS) {
        return file.open_status;
    }
    *out = &new_file_handle(&file)->protocol;
    return EFI_SUCCESS;
}

void FakeFirmware::install_graphics(uint32_t width, uint32_t height, uint32_t pixels_per_line,
                                    EFI_GRAPHICS_PIXEL_FORMAT format, uint64_t framebuffer_base) {
    graphics_info = {};
    graphics_info.HorizontalResolution = width;
    graphics_info.VerticalResolution = height;
    graphics_info.PixelFormat = format;
    graphics_info.PixelsPerScanLine = pixels_per_line;
    graphics_mode = {};
    graphics_mode.MaxMode = 1;
    graphics_mode.Info = &graphics_info;
    graphics_mode.SizeOfInfo = sizeof(graphics_info);
    graphics_mode.FrameBufferBase = framebuffer_base;
    graphics_mode.FrameBufferSize = static_cast<UINTN>(pixels_per_line) * height * 4;
    graphics.Mode = &graphics_mode;
    graphics_handles = {graphics_handle_};
    set_protocol(graphics_handle_, EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, &graphics);
}

EFI_STATUS FakeFirmware::locate_handle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol,
                                       void* key, UINTN* size, EFI_HANDLE* buffer) {
    calls.push_back("LocateHandle");
    if (type != ByProtocol || !(*protocol == EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID) || key != nullptr) {
        return EFI_INVALID_PARAMETER;
    }
    if (locate_handle_status != EFI_SUCCESS) {
        return locate_handle_status;
    }
    if (graphics_handles.empty()) {
        return EFI_NOT_FOUND;
    }
    const UINTN needed = graphics_handles.size() * sizeof(EFI_HANDLE);
    if (*size < needed) {
        *size = needed;
        return EFI_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, graphics_handles.data(), needed);
    *size = locate_handle_size.value_or(needed);
    return EFI_SUCCESS;
}

void FakeFirmware::sync_configuration() {
    system_table_.NumberOfTableEntries = configuration.size();
    system_table_.ConfigurationTable = configuration.empty() ? nullptr : configuration.data();
}

EFI_STATUS FakeFirmware::exit(EFI_HANDLE image, EFI_STATUS status, UINTN size, CHAR16* data) {
    calls.push_back("Exit");
    ExitCall call{image, status, size, {}};
    for (UINTN i = 0; i < size / 2; ++i) {
        call.data.push_back(static_cast<char16_t>(data[i]));
    }
    exit_call = call;
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::exit_boot_services(EFI_HANDLE image, UINTN key) {
    calls.push_back("ExitBootServices");
    const int call = exit_boot_services_calls_++;
    exit_boot_services_keys.push_back(key);
    for (EFI_MEMORY_DESCRIPTOR& descriptor : memory_map) {
        if (call == 0 && descriptor.Type == EfiUnacceptedMemoryType) {
            descriptor.Type = EfiConventionalMemory;
            change_map();
        }
    }
    const auto scripted = exit_boot_services_status.find(call);
    if (scripted != exit_boot_services_status.end()) {
        return scripted->second;
    }
    if (image != image_handle_ || key != map_key_) {
        return EFI_INVALID_PARAMETER;
    }
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::set_watchdog_timer(UINTN timeout, uint64_t code, UINTN size,
                                            CHAR16* data) {
    calls.push_back("SetWatchdogTimer");
    watchdog_calls.push_back({timeout, code, size, reinterpret_cast<uint64_t>(data)});
    return EFI_SUCCESS;
}
