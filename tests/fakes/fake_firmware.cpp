#include "tests/fakes/fake_firmware.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <tuple>

namespace {

FakeFirmware* installed = nullptr;

FakeFirmware& fw() {
    return FakeFirmware::current();
}

// A loader that calls the firmware without end is stopped here.
constexpr size_t kMostCalls = 100000;

// A GetInfo record of 600 bytes does not fit the loader's 512-byte buffer.
constexpr UINTN kLongInfoRecord = 600;

EFI_STATUS EFIAPI allocate_pages_entry(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type,
                                       UINTN pages, EFI_PHYSICAL_ADDRESS* memory) {
    return fw().allocate_pages(type, memory_type, pages, memory);
}
EFI_STATUS EFIAPI allocate_pool_entry(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
    return fw().allocate_pool(type, size, buffer);
}
EFI_STATUS EFIAPI get_memory_map_entry(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                                       UINTN* descriptor_size, uint32_t* version) {
    return fw().get_memory_map(size, map, key, descriptor_size, version);
}
EFI_STATUS EFIAPI open_protocol_entry(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface,
                                      EFI_HANDLE agent, EFI_HANDLE controller,
                                      uint32_t attributes) {
    if (agent != fw().image_handle() || controller != nullptr ||
        attributes != EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL) {
        return EFI_INVALID_PARAMETER;
    }
    return fw().open_protocol(handle, protocol, interface);
}
EFI_STATUS EFIAPI locate_handle_entry(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol,
                                      void* key, UINTN* size, EFI_HANDLE* buffer) {
    if (type != ByProtocol || !(*protocol == EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID) || key) {
        return EFI_INVALID_PARAMETER;
    }
    return fw().locate_handle(size, buffer);
}
EFI_STATUS EFIAPI exit_entry(EFI_HANDLE image, EFI_STATUS status, UINTN size, CHAR16* data) {
    fw().calls.push_back("Exit");
    const auto* units = reinterpret_cast<const char16_t*>(data);
    fw().exit_call = {image == fw().image_handle() ? status : 0, size,
                      std::u16string(units, units + size / 2)};
    return EFI_SUCCESS;
}
EFI_STATUS EFIAPI exit_boot_services_entry(EFI_HANDLE image, UINTN key) {
    return fw().exit_boot_services(image, key);
}
EFI_STATUS EFIAPI set_watchdog_timer_entry(UINTN, uint64_t, UINTN, CHAR16*) {
    const Fault* fault = fw().fault_for("SetWatchdogTimer");
    return fault ? fault->status : EFI_SUCCESS;
}

EFI_STATUS EFIAPI open_volume_entry(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*, EFI_FILE_PROTOCOL** root) {
    const Fault* fault = fw().fault_for("OpenVolume");
    if (fault && fault->shape == Shape::Status) {
        return fault->status;
    }
    if (!fault || fault->shape != Shape::Unchanged) {
        *root = fault && fault->shape == Shape::NullOut ? nullptr : fw().new_file(nullptr);
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_open_entry(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL** out, const CHAR16* name,
                                  uint64_t mode, uint64_t attributes) {
    if (mode != EFI_FILE_MODE_READ || attributes != 0) {
        return EFI_INVALID_PARAMETER;
    }
    return fw().open_file(name, out);
}

EFI_STATUS EFIAPI file_close_entry(EFI_FILE_PROTOCOL*) {
    fw().calls.push_back("File.Close");
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_read_entry(EFI_FILE_PROTOCOL* self, UINTN* size, void* buffer) {
    const Fault* fault = fw().fault_for("File.Read");
    auto* file = reinterpret_cast<FakeFirmware::FileHandle*>(self);
    const Shape shape = fault ? fault->shape : Shape::Status;
    if (fault && (shape == Shape::Status || shape == Shape::Unchanged)) {
        return shape == Shape::Status ? fault->status : EFI_SUCCESS;
    }
    const uint64_t asked = *size;
    uint64_t count = std::min<uint64_t>(asked, file->bytes->size() - file->position);
    if (fault && shape == Shape::Short) {
        count = (count + 1) / 2;
    }
    std::memcpy(buffer, file->bytes->data() + file->position, count);
    file->position += count;
    *size = !fault                     ? count
            : shape == Shape::SizeZero ? 0
            : shape == Shape::Long     ? asked + 1
                                       : count;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_get_info_entry(EFI_FILE_PROTOCOL* self, const EFI_GUID* type, UINTN* size,
                                      void* buffer) {
    const Fault* fault = fw().fault_for("File.GetInfo");
    const auto* file = reinterpret_cast<FakeFirmware::FileHandle*>(self);
    const UINTN needed = sizeof(EFI_FILE_INFO) + 2 * 18; // with the file's name
    if (!(*type == EFI_FILE_INFO_ID)) {
        return EFI_UNSUPPORTED;
    }
    if (fault && fault->shape == Shape::Status) {
        // A record that does not fit is reported with the size it needs.
        *size = fault->status == EFI_BUFFER_TOO_SMALL ? kLongInfoRecord : *size;
        return fault->status;
    }
    if (fault && fault->shape == Shape::Unchanged) {
        return EFI_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return EFI_BUFFER_TOO_SMALL;
    }
    EFI_FILE_INFO info = {};
    info.Size = needed;
    info.FileSize = file->bytes->size();
    if (fault) {
        const Shape s = fault->shape;
        info.FileSize = s == Shape::SizeZero  ? 0
                        : s == Shape::PastTop ? 1ull << 63
                        : s == Shape::Short   ? info.FileSize - 1
                        : s == Shape::Long    ? info.FileSize + 1
                                              : info.FileSize;
    }
    std::memcpy(buffer, &info, sizeof(info));
    *size = fault && fault->shape == Shape::SizeHuge ? kLongInfoRecord : needed;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_attribute_entry(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, UINTN attribute) {
    FakeFirmware& firmware = fw();
    const bool err = self == firmware.system_table()->StdErr;
    const std::string mark = (err ? "<err " : "<out ") + std::to_string(attribute) + ">";
    firmware.console.append(mark.begin(), mark.end());
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI output_string_entry(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, const CHAR16* text) {
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
    : arena_(static_cast<uint8_t*>(std::aligned_alloc(4096, arena_bytes))),
      arena_size_(arena_bytes) {
    if (arena_ == nullptr) {
        throw std::bad_alloc();
    }
    // Memory as the firmware hands it over is not clear: make that visible.
    std::memset(arena_, 0xCC, arena_bytes);

    boot_services_.AllocatePages = allocate_pages_entry;
    boot_services_.AllocatePool = allocate_pool_entry;
    boot_services_.GetMemoryMap = get_memory_map_entry;
    boot_services_.OpenProtocol = open_protocol_entry;
    boot_services_.LocateHandle = locate_handle_entry;
    boot_services_.Exit = exit_entry;
    boot_services_.ExitBootServices = exit_boot_services_entry;
    boot_services_.SetWatchdogTimer = set_watchdog_timer_entry;
    for (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* text_output : {&standard_error_, &console_out_}) {
        text_output->OutputString = output_string_entry;
        text_output->SetAttribute = set_attribute_entry;
    }
    system_table_.BootServices = &boot_services_;
    system_table_.StdErr = &standard_error_;
    system_table_.ConOut = &console_out_;
    loaded_image.DeviceHandle = device_handle_;
    file_system.OpenVolume = open_volume_entry;
    installed = this;
}

FakeFirmware::~FakeFirmware() {
    std::free(arena_);
    if (installed == this) {
        installed = nullptr;
    }
}

FakeFirmware& FakeFirmware::current() {
    if (installed == nullptr) {
        throw std::logic_error("no fake firmware installed");
    }
    return *installed;
}

const Fault* FakeFirmware::fault_for(const char* call) {
    calls.push_back(call);
    if (calls.size() > kMostCalls) {
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

// Bytes from the arena, 0 when they cannot be had. Pages are page-aligned,
// pool blocks 8-byte aligned (on pages of their own when fragmenting).
uint64_t FakeFirmware::allocate(uint64_t bytes, bool pages) {
    if (!fragmenting) {
        const uint64_t alignment = pages ? 4096 : 8;
        const uint64_t start = (arena_used_ + alignment - 1) / alignment * alignment;
        if (bytes > arena_size_ || start > arena_size_ - bytes) {
            return 0;
        }
        arena_used_ = start + bytes;
        ++map_key_;
        return arena_base() + start;
    }
    // A descriptor the allocation can sit inside first: the worst case.
    const uint64_t count = (bytes + 4095) / 4096;
    for (size_t k = 0; k < 2 * memory_map.size(); ++k) {
        const size_t i = k % memory_map.size();
        const EFI_MEMORY_DESCRIPTOR free = memory_map[i];
        if (free.Type != EfiConventionalMemory || count == 0 ||
            free.NumberOfPages < count + (k < memory_map.size() ? 2 : 0)) {
            continue;
        }
        const uint64_t before = free.NumberOfPages > count ? 1 : 0;
        const uint64_t after = free.NumberOfPages - count - before;
        const uint64_t start = free.PhysicalStart + before * 4096;
        memory_map.erase(memory_map.begin() + static_cast<long>(i));
        std::vector<EFI_MEMORY_DESCRIPTOR> pieces;
        for (const auto& [type, base, length] :
             {std::tuple{EfiConventionalMemory, free.PhysicalStart, before},
              std::tuple{EfiLoaderData, start, count},
              std::tuple{EfiConventionalMemory, start + count * 4096, after}}) {
            if (length != 0) {
                EFI_MEMORY_DESCRIPTOR piece = free;
                piece.Type = type;
                piece.PhysicalStart = base;
                piece.NumberOfPages = length;
                pieces.push_back(piece);
            }
        }
        memory_map.insert(memory_map.begin() + static_cast<long>(i), pieces.begin(), pieces.end());
        ++map_key_;
        return start;
    }
    return 0;
}

EFI_STATUS FakeFirmware::allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type,
                                        UINTN pages, EFI_PHYSICAL_ADDRESS* memory) {
    const Fault* fault = fault_for("AllocatePages");
    if (type != AllocateAnyPages || memory_type != EfiLoaderData) {
        return EFI_INVALID_PARAMETER;
    }
    if (fault && (fault->shape == Shape::Status || fault->shape == Shape::Unchanged)) {
        return fault->shape == Shape::Status ? fault->status : EFI_SUCCESS;
    }
    if (fault && fault->shape == Shape::PastTop) {
        *memory = ~0xfffull; // its last page ends at 2^64
        return EFI_SUCCESS;
    }
    const uint64_t address = pages > (1ull << 40) ? 0 : allocate(pages * 4096, true);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    *memory = address + (fault && fault->shape == Shape::Misaligned ? 0x800 : 0);
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::allocate_pool(EFI_MEMORY_TYPE pool_type, UINTN size, void** buffer) {
    const Fault* fault = fault_for("AllocatePool");
    if (pool_type != EfiLoaderData) {
        return EFI_INVALID_PARAMETER;
    }
    const Shape shape = fault ? fault->shape : Shape::Status;
    if (fault && (shape == Shape::Status || shape == Shape::Unchanged)) {
        return shape == Shape::Status ? fault->status : EFI_SUCCESS;
    }
    const bool misaligned = fault && shape == Shape::Misaligned;
    const uint64_t address = size > (1ull << 40) ? 0 : allocate(size + (misaligned ? 4 : 0), false);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    *buffer = !fault                    ? reinterpret_cast<void*>(address)
              : shape == Shape::NullOut ? nullptr
              : shape == Shape::PastTop ? reinterpret_cast<void*>(~0xfull)
              : misaligned              ? reinterpret_cast<void*>(address + 4)
                                        : reinterpret_cast<void*>(address);
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key,
                                        UINTN* stride, uint32_t* version) {
    const Fault* fault = fault_for("GetMemoryMap");
    const Shape shape = fault ? fault->shape : Shape::Status;
    if (fault && shape == Shape::Unchanged) {
        return EFI_SUCCESS;
    }
    const UINTN needed = memory_map.size() * descriptor_size;
    *stride = shape == Shape::StrideZero ? 0 : shape == Shape::StrideSmall ? 24 : descriptor_size;
    *version = 1;
    *key = map_key_;
    if (fault && shape == Shape::Status) {
        *size = needed;
        return fault->status;
    }
    const UINTN reported = !fault                        ? needed
                           : shape == Shape::SizeZero    ? 0
                           : shape == Shape::SizeOdd     ? needed + 8
                           : shape == Shape::SizeHuge    ? UINTN{48} << 30
                           : shape == Shape::PastTop     ? ~UINTN{0} / 48 * 48
                           : shape == Shape::StrideSmall ? memory_map.size() * 24
                                                         : needed;
    if (map == nullptr || *size < needed) {
        *size = reported;
        return EFI_BUFFER_TOO_SMALL;
    }
    auto* out = reinterpret_cast<uint8_t*>(map);
    std::memset(out, 0xEE, needed);
    for (size_t i = 0; i < memory_map.size(); ++i) {
        EFI_MEMORY_DESCRIPTOR descriptor = memory_map[i];
        if (shape == Shape::OwnAsFree && descriptor.Type == EfiLoaderData) {
            descriptor.Type = EfiConventionalMemory;
        }
        std::memcpy(out + i * descriptor_size, &descriptor, sizeof(descriptor));
    }
    *size = reported;
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::open_protocol(EFI_HANDLE handle, const EFI_GUID* protocol,
                                       void** interface) {
    const Fault* fault = fault_for("OpenProtocol");
    void* found = nullptr;
    if (handle == image_handle_ && *protocol == EFI_LOADED_IMAGE_PROTOCOL_GUID) {
        found = &loaded_image;
    } else if (handle == device_handle_ && *protocol == EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID) {
        found = &file_system;
    } else if (graphics_installed && handle == graphics_handle_ &&
               *protocol == EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID) {
        found = &graphics;
        switch (fault ? fault->shape : Shape::Status) {
        case Shape::NoMode:
            graphics.Mode = nullptr;
            break;
        case Shape::ZeroWidth:
            graphics_info.HorizontalResolution = 0;
            break;
        case Shape::BltOnly:
            graphics_info.PixelFormat = PixelBltOnly;
            break;
        case Shape::HighFramebuffer:
            graphics_mode.FrameBufferBase = 1ull << 47;
            break;
        case Shape::PitchPast32Bits:
            graphics_info.PixelsPerScanLine = 0x40000000;
            break;
        default:
            break;
        }
    }
    if (fault && fault->shape == Shape::Status) {
        return fault->status;
    }
    if (found == nullptr) {
        return EFI_UNSUPPORTED;
    }
    if (!fault || fault->shape != Shape::Unchanged) {
        *interface = fault && fault->shape == Shape::NullOut ? nullptr : found;
    }
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::locate_handle(UINTN* size, EFI_HANDLE* buffer) {
    const Fault* fault = fault_for("LocateHandle");
    const Shape shape = fault ? fault->shape : Shape::Status;
    if (fault && (shape == Shape::Status || shape == Shape::Unchanged)) {
        return shape == Shape::Status ? fault->status : EFI_SUCCESS;
    }
    if (!graphics_installed) {
        return EFI_NOT_FOUND;
    }
    if (*size < sizeof(EFI_HANDLE)) {
        *size = sizeof(EFI_HANDLE);
        return EFI_BUFFER_TOO_SMALL;
    }
    buffer[0] = shape == Shape::NullOut ? nullptr : graphics_handle_;
    *size = !fault                     ? sizeof(EFI_HANDLE)
            : shape == Shape::SizeZero ? 0
            : shape == Shape::SizeOdd  ? 12
            : shape == Shape::SizeHuge ? 65 * sizeof(EFI_HANDLE)
                                       : sizeof(EFI_HANDLE);
    return EFI_SUCCESS;
}

EFI_STATUS FakeFirmware::exit_boot_services(EFI_HANDLE image, UINTN key) {
    const Fault* fault = fault_for("ExitBootServices");
    exit_boot_services_keys.push_back(key);
    // The first call accepts unaccepted memory, which changes the map.
    if (exit_boot_services_keys.size() == 1) {
        for (EFI_MEMORY_DESCRIPTOR& descriptor : memory_map) {
            if (descriptor.Type == EfiUnacceptedMemoryType) {
                descriptor.Type = EfiConventionalMemory;
                ++map_key_;
            }
        }
    }
    if (fault) {
        return fault->status;
    }
    return image == image_handle_ && key == map_key_ ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_FILE_PROTOCOL* FakeFirmware::new_file(const std::vector<uint8_t>* bytes) {
    FileHandle& handle = file_handles_.emplace_back();
    handle.protocol.Open = file_open_entry;
    handle.protocol.Close = file_close_entry;
    handle.protocol.Read = file_read_entry;
    handle.protocol.GetInfo = file_get_info_entry;
    handle.bytes = bytes;
    handle.position = 0;
    return &handle.protocol;
}

EFI_STATUS FakeFirmware::open_file(const CHAR16* name, EFI_FILE_PROTOCOL** out) {
    const Fault* fault = fault_for("File.Open");
    const auto found = files.find(narrow(name));
    if (fault && fault->shape == Shape::Status) {
        return fault->status;
    }
    if (found == files.end()) {
        return EFI_NOT_FOUND;
    }
    if (!fault || fault->shape != Shape::Unchanged) {
        *out = fault && fault->shape == Shape::NullOut ? nullptr : new_file(&found->second);
    }
    return EFI_SUCCESS;
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
