#include "tests/fakes/fake_firmware.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

FakeFirmware* installed = nullptr;

FakeFirmware& fw() {
    return FakeFirmware::current();
}

// What a fault answers by itself: its status, or success with nothing
// written back. Past this, a shape of Status means a healthy call.
std::optional<EFI_STATUS> settled(const Fault* fault) {
    if (fault == nullptr || (fault->shape != Shape::Status && fault->shape != Shape::Unchanged)) {
        return std::nullopt;
    }
    return fault->shape == Shape::Status ? fault->status : EFI_SUCCESS;
}

Shape shape_of(const Fault* fault) {
    return fault ? fault->shape : Shape::Status;
}

EFI_FILE_PROTOCOL* open_file(const std::vector<uint8_t>* bytes);

EFI_STATUS EFIAPI allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, UINTN pages,
                                 EFI_PHYSICAL_ADDRESS* memory) {
    const Fault* fault = fw().fault_for("AllocatePages");
    if (type != AllocateAnyPages || memory_type != EfiLoaderData) {
        return EFI_INVALID_PARAMETER;
    }
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    const uint64_t address = pages > (1ull << 40) ? 0 : fw().allocate(pages * 4096, true);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    const Shape shape = shape_of(fault);
    *memory = shape == Shape::PastTop      ? ~0xfffull // its last page ends at 2^64
              : shape == Shape::Misaligned ? address + 0x800
                                           : address;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI allocate_pool(EFI_MEMORY_TYPE pool_type, UINTN size, void** buffer) {
    const Fault* fault = fw().fault_for("AllocatePool");
    if (pool_type != EfiLoaderData) {
        return EFI_INVALID_PARAMETER;
    }
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    const Shape shape = shape_of(fault);
    const uint64_t address = size > (1ull << 40) ? 0 : fw().allocate(size + 4, false);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    *buffer = reinterpret_cast<void*>(shape == Shape::NullOut      ? 0
                                      : shape == Shape::PastTop    ? ~0xfull
                                      : shape == Shape::Misaligned ? address + 4
                                                                   : address);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key, UINTN* stride,
                                 uint32_t* version) {
    FakeFirmware& firmware = fw();
    const Fault* fault = firmware.fault_for("GetMemoryMap");
    if (fault && fault->shape == Shape::Unchanged) {
        return EFI_SUCCESS;
    }
    const Shape shape = shape_of(fault);
    const UINTN count = firmware.memory_map.size(), needed = count * firmware.descriptor_size;
    *stride = shape == Shape::StrideZero    ? 0
              : shape == Shape::StrideSmall ? 24
                                            : firmware.descriptor_size;
    *version = 1;
    *key = firmware.map_key;
    const UINTN reported = shape == Shape::SizeZero      ? 0
                           : shape == Shape::SizeOdd     ? needed + 8
                           : shape == Shape::SizeHuge    ? UINTN{48} << 30
                           : shape == Shape::PastTop     ? ~UINTN{0} / 48 * 48
                           : shape == Shape::StrideSmall ? count * 24
                                                         : needed;
    if (fault && fault->shape == Shape::Status) {
        *size = needed;
        return fault->status;
    }
    if (map == nullptr || *size < needed) {
        *size = reported;
        return EFI_BUFFER_TOO_SMALL;
    }
    auto* out = reinterpret_cast<uint8_t*>(map);
    std::memset(out, 0xEE, needed);
    for (size_t i = 0; i < count; ++i) {
        EFI_MEMORY_DESCRIPTOR descriptor = firmware.memory_map[i];
        if (shape == Shape::OwnAsFree && descriptor.Type == EfiLoaderData) {
            descriptor.Type = EfiConventionalMemory;
        }
        std::memcpy(out + i * firmware.descriptor_size, &descriptor, sizeof(descriptor));
    }
    *size = reported;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI open_protocol(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface,
                                EFI_HANDLE agent, EFI_HANDLE controller, uint32_t attributes) {
    FakeFirmware& firmware = fw();
    const Fault* fault = firmware.fault_for("OpenProtocol");
    if (agent != firmware.image_handle() || controller != nullptr ||
        attributes != EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL) {
        return EFI_INVALID_PARAMETER;
    }
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    void* found = nullptr;
    if (handle == firmware.image_handle() && *protocol == EFI_LOADED_IMAGE_PROTOCOL_GUID) {
        found = &firmware.loaded_image;
    } else if (handle == firmware.device_handle() &&
               *protocol == EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID) {
        found = &firmware.file_system;
    } else if (firmware.graphics_installed && handle == firmware.graphics_handle() &&
               *protocol == EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID) {
        found = &firmware.graphics;
        const Shape shape = shape_of(fault);
        firmware.graphics.Mode = shape == Shape::NoMode ? nullptr : firmware.graphics.Mode;
        if (shape == Shape::ZeroWidth) {
            firmware.graphics_info.HorizontalResolution = 0;
        }
        if (shape == Shape::BltOnly) {
            firmware.graphics_info.PixelFormat = PixelBltOnly;
        }
        if (shape == Shape::HighFramebuffer) {
            firmware.graphics_mode.FrameBufferBase = 1ull << 47;
        }
        if (shape == Shape::PitchPast32Bits) {
            firmware.graphics_info.PixelsPerScanLine = 0x40000000;
        }
    }
    if (found == nullptr) {
        return EFI_UNSUPPORTED;
    }
    *interface = shape_of(fault) == Shape::NullOut ? nullptr : found;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI locate_handle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol, void* key,
                                UINTN* size, EFI_HANDLE* buffer) {
    FakeFirmware& firmware = fw();
    const Fault* fault = firmware.fault_for("LocateHandle");
    if (type != ByProtocol || !(*protocol == EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID) || key) {
        return EFI_INVALID_PARAMETER;
    }
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    // Two handles, as on machines with more than one display; only the
    // first carries the protocol.
    if (!firmware.graphics_installed || *size < 2 * sizeof(EFI_HANDLE)) {
        return firmware.graphics_installed ? EFI_BUFFER_TOO_SMALL : EFI_NOT_FOUND;
    }
    const Shape shape = shape_of(fault);
    buffer[0] = shape == Shape::NullOut ? nullptr : firmware.graphics_handle();
    buffer[1] = firmware.device_handle();
    *size = shape == Shape::SizeZero   ? 0
            : shape == Shape::SizeOdd  ? 12
            : shape == Shape::SizeHuge ? 65 * sizeof(EFI_HANDLE)
                                       : 2 * sizeof(EFI_HANDLE);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI exit_image(EFI_HANDLE image, EFI_STATUS status, UINTN size, CHAR16* data) {
    fw().calls.push_back("Exit");
    const auto* units = reinterpret_cast<const char16_t*>(data);
    fw().exit_call = {image == fw().image_handle() ? status : 0, size,
                      std::u16string(units, units + size / 2)};
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI exit_boot_services(EFI_HANDLE image, UINTN key) {
    FakeFirmware& firmware = fw();
    const Fault* fault = firmware.fault_for("ExitBootServices");
    firmware.exit_boot_services_keys.push_back(key);
    // The first call accepts unaccepted memory, which changes the map.
    for (EFI_MEMORY_DESCRIPTOR& descriptor : firmware.memory_map) {
        if (firmware.exit_boot_services_keys.size() == 1 &&
            descriptor.Type == EfiUnacceptedMemoryType) {
            descriptor.Type = EfiConventionalMemory;
            ++firmware.map_key;
        }
    }
    return fault                                                         ? fault->status
           : image == firmware.image_handle() && key == firmware.map_key ? EFI_SUCCESS
                                                                         : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI set_watchdog_timer(UINTN, uint64_t, UINTN, CHAR16*) {
    const Fault* fault = fw().fault_for("SetWatchdogTimer");
    return fault ? fault->status : EFI_SUCCESS;
}

EFI_STATUS EFIAPI open_volume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*, EFI_FILE_PROTOCOL** root) {
    const Fault* fault = fw().fault_for("OpenVolume");
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    *root = shape_of(fault) == Shape::NullOut ? nullptr : open_file(nullptr);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_open(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL** out, const CHAR16* name,
                            uint64_t mode, uint64_t attributes) {
    const Fault* fault = fw().fault_for("File.Open");
    const auto found = fw().files.find(narrow(name));
    if (mode != EFI_FILE_MODE_READ || attributes != 0) {
        return EFI_INVALID_PARAMETER;
    }
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    if (found == fw().files.end()) {
        return EFI_NOT_FOUND;
    }
    *out = shape_of(fault) == Shape::NullOut ? nullptr : open_file(&found->second);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_close(EFI_FILE_PROTOCOL*) {
    fw().calls.push_back("File.Close");
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_read(EFI_FILE_PROTOCOL* self, UINTN* size, void* buffer) {
    const Fault* fault = fw().fault_for("File.Read");
    auto* file = reinterpret_cast<FakeFirmware::OpenFile*>(self);
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    const Shape shape = shape_of(fault);
    const uint64_t asked = *size;
    uint64_t count = std::min<uint64_t>(asked, file->bytes->size() - file->position);
    count = shape == Shape::Short ? (count + 1) / 2 : count;
    std::memcpy(buffer, file->bytes->data() + file->position, count);
    file->position += count;
    *size = shape == Shape::SizeZero ? 0 : shape == Shape::Long ? asked + 1 : count;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_get_info(EFI_FILE_PROTOCOL* self, const EFI_GUID* type, UINTN* size,
                                void* buffer) {
    const Fault* fault = fw().fault_for("File.GetInfo");
    const auto* file = reinterpret_cast<FakeFirmware::OpenFile*>(self);
    const UINTN needed = sizeof(EFI_FILE_INFO) + 2 * 18; // with the file's name
    constexpr UINTN kLongRecord = 600;                   // more than the loader's 512 bytes
    if (!(*type == EFI_FILE_INFO_ID)) {
        return EFI_UNSUPPORTED;
    }
    if (fault && fault->shape == Shape::Status && fault->status == EFI_BUFFER_TOO_SMALL) {
        *size = kLongRecord; // a record with a long name does not fit
    }
    if (const auto answer = settled(fault)) {
        return *answer;
    }
    if (*size < needed) {
        *size = needed;
        return EFI_BUFFER_TOO_SMALL;
    }
    const Shape shape = shape_of(fault);
    EFI_FILE_INFO info = {};
    info.Size = needed;
    info.FileSize = shape == Shape::SizeZero ? 0
                    : shape == Shape::PastTop
                        ? 1ull << 63
                        : file->bytes->size() + (shape == Shape::Long) - (shape == Shape::Short);
    std::memcpy(buffer, &info, sizeof(info));
    *size = shape == Shape::SizeHuge ? kLongRecord : needed;
    return EFI_SUCCESS;
}

EFI_FILE_PROTOCOL* open_file(const std::vector<uint8_t>* bytes) {
    FakeFirmware::OpenFile& file = fw().open_files.emplace_back();
    file.protocol.Open = file_open;
    file.protocol.Close = file_close;
    file.protocol.Read = file_read;
    file.protocol.GetInfo = file_get_info;
    file.bytes = bytes;
    file.position = 0;
    return &file.protocol;
}

EFI_STATUS EFIAPI set_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, UINTN attribute) {
    const bool error = self == fw().system_table()->StdErr;
    const std::string mark = (error ? "<err " : "<out ") + std::to_string(attribute) + ">";
    fw().console.append(mark.begin(), mark.end());
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, const CHAR16* text) {
    for (const CHAR16* unit = text; *unit != 0; ++unit) {
        fw().console.push_back(static_cast<char16_t>(*unit));
    }
    return EFI_SUCCESS;
}

} // namespace

std::string narrow(const CHAR16* text) {
    std::string out;
    for (const CHAR16* unit = text; *unit != 0; ++unit) {
        out.push_back(static_cast<char>(*unit));
    }
    return out;
}

FakeFirmware::FakeFirmware(uint64_t arena_bytes)
    : arena(static_cast<uint8_t*>(std::aligned_alloc(4096, arena_bytes))), arena_size(arena_bytes) {
    if (arena == nullptr) {
        throw std::bad_alloc();
    }
    // Memory as the firmware hands it over is not clear: make that visible.
    std::memset(arena, 0xCC, arena_bytes);
    boot_services_.AllocatePages = allocate_pages;
    boot_services_.AllocatePool = allocate_pool;
    boot_services_.GetMemoryMap = get_memory_map;
    boot_services_.OpenProtocol = open_protocol;
    boot_services_.LocateHandle = locate_handle;
    boot_services_.Exit = exit_image;
    boot_services_.ExitBootServices = exit_boot_services;
    boot_services_.SetWatchdogTimer = set_watchdog_timer;
    for (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* text_output : {&standard_error, &console_out}) {
        text_output->OutputString = output_string;
        text_output->SetAttribute = set_attribute;
    }
    system_table_.BootServices = &boot_services_;
    system_table_.StdErr = &standard_error;
    system_table_.ConOut = &console_out;
    loaded_image.DeviceHandle = device_handle();
    file_system.OpenVolume = open_volume;
    installed = this;
}

FakeFirmware::~FakeFirmware() {
    std::free(arena);
    installed = installed == this ? nullptr : installed;
}

FakeFirmware& FakeFirmware::current() {
    if (installed == nullptr) {
        throw std::logic_error("no fake firmware installed");
    }
    return *installed;
}

const Fault* FakeFirmware::fault_for(const char* call) {
    calls.push_back(call);
    if (calls.size() > 100000) { // a loader that calls without end is stopped here
        throw std::runtime_error("the firmware is called without end");
    }
    const int occurrence = occurrences[call]++;
    for (const Fault& f : faults) {
        if (f.call == call &&
            (f.occurrence == occurrence || (f.sticky && f.occurrence < occurrence))) {
            if (f.shape == Shape::Gone) {
                system_table_.BootServices = nullptr;
                return nullptr;
            }
            return &f;
        }
    }
    return nullptr;
}

uint64_t FakeFirmware::allocate(uint64_t bytes, bool pages) {
    if (!fragmenting) {
        const uint64_t alignment = pages ? 4096 : 8;
        const uint64_t start = (arena_used + alignment - 1) / alignment * alignment;
        if (bytes > arena_size || start > arena_size - bytes) {
            return 0;
        }
        arena_used = start + bytes;
        ++map_key;
        return arena_base() + start;
    }
    // First a free descriptor the allocation can sit inside, then any.
    const uint64_t count = (bytes + 4095) / 4096;
    for (size_t k = 0; k < 2 * memory_map.size(); ++k) {
        const size_t i = k % memory_map.size();
        const EFI_MEMORY_DESCRIPTOR free = memory_map[i];
        if (free.Type != EfiConventionalMemory ||
            free.NumberOfPages < count + (k < memory_map.size() ? 2 : 0)) {
            continue;
        }
        const uint64_t before = free.NumberOfPages > count ? 1 : 0;
        const uint64_t pieces[3][3] = {{EfiConventionalMemory, free.PhysicalStart, before},
                                       {EfiLoaderData, free.PhysicalStart + before * 4096, count},
                                       {EfiConventionalMemory,
                                        free.PhysicalStart + (before + count) * 4096,
                                        free.NumberOfPages - count - before}};
        memory_map.erase(memory_map.begin() + static_cast<long>(i));
        for (int p = 2; p >= 0; --p) {
            if (pieces[p][2] != 0) {
                EFI_MEMORY_DESCRIPTOR piece = free;
                piece.Type = static_cast<uint32_t>(pieces[p][0]);
                piece.PhysicalStart = pieces[p][1];
                piece.NumberOfPages = pieces[p][2];
                memory_map.insert(memory_map.begin() + static_cast<long>(i), piece);
            }
        }
        ++map_key;
        return pieces[1][1];
    }
    return 0;
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
    const uint64_t typical[][3] = {
        {EfiBootServicesCode, 0x0, 1},
        {EfiConventionalMemory, 0x1000, 0x9f},
        {EfiReservedMemoryType, 0xa0000, 0x60},
        {EfiConventionalMemory, 0x100000, 0x700},
        {EfiACPIMemoryNVS, 0x800000, 0x8},
        {EfiConventionalMemory, 0x808000, 0x7f8},
        {EfiBootServicesData, 0x1000000, 0x400},
        {EfiBootServicesCode, 0x1400000, 0x100},
        {EfiACPIReclaimMemory, 0x1500000, 0x10},
        {EfiRuntimeServicesData, 0x1510000, 0x20},
        {EfiConventionalMemory, 0x1530000, 0x2ad0},
        // Everything the loader obtains comes from the arena: loader data.
        {EfiLoaderData, arena_base(), arena_size / 4096},
        {EfiMemoryMappedIO, 0xffc00000, 0x400}};
    memory_map.clear();
    for (const auto& [type, start, pages] : typical) {
        add_descriptor(static_cast<uint32_t>(type), start, pages);
    }
}

void FakeFirmware::install_graphics(uint32_t width, uint32_t height, uint64_t framebuffer_base) {
    graphics_info = {};
    graphics_info.HorizontalResolution = width;
    graphics_info.VerticalResolution = height;
    graphics_info.PixelFormat = PixelBlueGreenRedReserved8BitPerColor;
    graphics_info.PixelsPerScanLine = width;
    graphics_mode = {};
    graphics_mode.Info = &graphics_info;
    graphics_mode.FrameBufferBase = framebuffer_base;
    graphics.Mode = &graphics_mode;
    graphics_installed = true;
}

void FakeFirmware::sync_configuration() {
    system_table_.NumberOfTableEntries = configuration.size();
    system_table_.ConfigurationTable = configuration.empty() ? nullptr : configuration.data();
}
