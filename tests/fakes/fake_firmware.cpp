#include "tests/fakes/fake_firmware.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace {

FakeFirmware* fw = nullptr; // the one the loader calls

// The last arena is kept for the next fake of the same size: fresh memory
// costs a page fault per page, which dominates a whole boot's run. A plain
// global, so that the arena stays reachable to the end.
std::pair<uint8_t*, uint64_t> spare_arena = {nullptr, 0};

uint8_t* take_arena(uint64_t bytes) {
    if (spare_arena.first != nullptr && spare_arena.second == bytes) {
        return std::exchange(spare_arena.first, nullptr);
    }
    return static_cast<uint8_t*>(std::aligned_alloc(4096, bytes));
}

// One call as the firmware sees it: its fault, if any, and what it answers
// at once when the loader called it wrongly or when the fault settles it by
// itself (its status, or success with nothing written back).
struct Call {
    const Fault* fault;
    std::optional<EFI_STATUS> answer;
    bool is(const char* shape) const { return fault && fault->shape == shape; }
};

Call call(const char* name, bool valid = true) {
    const Fault* fault = fw->fault_for(name);
    const bool unchanged = fault && fault->shape == "Unchanged";
    return {fault, !valid                              ? EFI_INVALID_PARAMETER
                   : fault && fault->shape == "Status" ? std::optional(fault->status)
                   : unchanged                         ? std::optional(EFI_SUCCESS)
                                                       : std::nullopt};
}

EFI_STATUS open_file(const Call& c, const std::vector<uint8_t>* bytes, EFI_FILE_PROTOCOL** out);

// Text of a firmware path, for comparisons.
std::string narrow(const CHAR16* text) {
    const std::u16string units(reinterpret_cast<const char16_t*>(text));
    return std::string(units.begin(), units.end());
}

// AllocatePages and AllocatePool: `bytes` from the arena into `*out`; a pool
// block has room to be handed out 4 bytes off its alignment.
EFI_STATUS allocation(const Call& c, uint64_t bytes, bool pages, uint64_t* out) {
    if (c.answer) {
        return *c.answer;
    }
    const uint64_t address = fw->allocate(bytes + 4 * !pages, pages);
    if (address == 0) {
        return EFI_OUT_OF_RESOURCES;
    }
    *out = c.is("PastTop")      ? ~0xfffull // its last page ends at 2^64
           : c.is("Misaligned") ? address + 4
                                : address;
    if (!c.is("PastTop")) { // allocations that are really there
        fw->allocations.emplace_back(*out, bytes);
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, UINTN pages,
                                 EFI_PHYSICAL_ADDRESS* memory) {
    const Call c = call("AllocatePages", type == AllocateAnyPages && memory_type == EfiLoaderData);
    return allocation(c, pages > (1ull << 40) ? ~0ull : pages * 4096, true, memory);
}

EFI_STATUS EFIAPI allocate_pool(EFI_MEMORY_TYPE pool_type, UINTN size, void** buffer) {
    const Call c = call("AllocatePool", pool_type == EfiLoaderData);
    return allocation(c, size, false, reinterpret_cast<uint64_t*>(buffer));
}

EFI_STATUS EFIAPI get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* map, UINTN* key, UINTN* stride,
                                 uint32_t* version) {
    const Call c = call("GetMemoryMap");
    const UINTN count = fw->memory_map.size(), needed = count * fw->descriptor_size;
    if (c.is("Unchanged")) {
        return EFI_SUCCESS;
    }
    *stride = c.is("StrideSmall") ? 24 : fw->descriptor_size;
    *version = 1;
    *key = fw->map_key;
    const UINTN offered = *size; // a failure writes the size too
    *size = c.is("SizeZero") && !c.answer        ? 0
            : c.is("StrideSmall")                ? count * 24
            : c.is("Overfull") && map != nullptr ? offered + 1 // more than the buffer holds
                                                 : needed;
    if (c.answer || map == nullptr || offered < needed) {
        for (; fw->own_growth != 0; --fw->own_growth) {
            fw->add_descriptor(EfiReservedMemoryType, 0x300000000 + fw->own_growth * 0x2000, 1);
        }
        return c.answer.value_or(EFI_BUFFER_TOO_SMALL);
    }
    std::memset(map, 0xEE, needed);
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(reinterpret_cast<uint8_t*>(map) + i * fw->descriptor_size, &fw->memory_map[i],
                    sizeof(EFI_MEMORY_DESCRIPTOR));
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI open_protocol(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface,
                                EFI_HANDLE agent, EFI_HANDLE controller, uint32_t attributes) {
    const Call c = call("OpenProtocol", agent == fw->image_handle() && controller == nullptr &&
                                            attributes == EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
    const std::tuple<EFI_HANDLE, const EFI_GUID*, void*> protocols[] = {
        {fw->image_handle(), &EFI_LOADED_IMAGE_PROTOCOL_GUID, &fw->loaded_image},
        {fw->device_handle(), &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, &fw->file_system},
        {fw->graphics_handle(), &EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, &fw->graphics}};
    for (const auto& [on, guid, found] : protocols) {
        if (!c.answer && handle == on && *protocol == *guid) {
            *interface = found;
            return EFI_SUCCESS;
        }
    }
    return c.answer.value_or(EFI_UNSUPPORTED);
}

// Two handles, as on machines with more than one display; only the first
// carries the protocol.
EFI_STATUS EFIAPI locate_handle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol, void* key,
                                UINTN* size, EFI_HANDLE* buffer) {
    const Call c = call("LocateHandle", type == ByProtocol && key == nullptr &&
                                            *protocol == EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID);
    if (c.answer || *size < 2 * sizeof(EFI_HANDLE)) {
        return c.answer.value_or(EFI_BUFFER_TOO_SMALL);
    }
    buffer[0] = fw->graphics_handle();
    buffer[1] = fw->device_handle();
    *size = c.is("SizeZero") ? 0 : c.is("SizeOdd") ? 12 : 2 * sizeof(EFI_HANDLE);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI exit_image(EFI_HANDLE image, EFI_STATUS status, UINTN size, CHAR16* data) {
    const auto* units = reinterpret_cast<const char16_t*>(data);
    fw->exit_call = {image == fw->image_handle() ? status : 0,
                     std::u16string(units, units + size / 2)};
    return EFI_SUCCESS;
}

// The first call accepts unaccepted memory, which changes the map.
EFI_STATUS EFIAPI exit_boot_services(EFI_HANDLE image, UINTN key) {
    const Call c = call("ExitBootServices", image == fw->image_handle());
    fw->exit_boot_services_keys.push_back(key);
    for (EFI_MEMORY_DESCRIPTOR& descriptor : fw->memory_map) {
        if (fw->exit_boot_services_keys.size() == 1 && descriptor.Type == EfiUnacceptedMemoryType) {
            descriptor.Type = EfiConventionalMemory;
            ++fw->map_key;
        }
    }
    return c.answer.value_or(key == fw->map_key ? EFI_SUCCESS : EFI_INVALID_PARAMETER);
}

// Only a call that switches the watchdog off is the call the loader makes.
EFI_STATUS EFIAPI set_watchdog_timer(UINTN timeout, uint64_t, UINTN, CHAR16*) {
    return call(timeout == 0 ? "SetWatchdogTimer" : "SetWatchdogTimer(on)").answer.value_or(0);
}

// Only the global SecureBoot variable exists, of one byte, and only when the
// test set it.
EFI_STATUS EFIAPI get_variable(const CHAR16* name, const EFI_GUID* vendor, uint32_t*, UINTN* size,
                               void* data) {
    const Call c = call("GetVariable", narrow(name) == "SecureBoot" &&
                                           *vendor == EFI_GLOBAL_VARIABLE && *size == 1);
    if (c.answer || !fw->secure_boot) {
        return c.answer.value_or(EFI_NOT_FOUND);
    }
    *static_cast<uint8_t*>(data) = *fw->secure_boot;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI open_volume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*, EFI_FILE_PROTOCOL** root) {
    return open_file(call("OpenVolume"), nullptr, root);
}

EFI_STATUS EFIAPI file_open(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL** out, const CHAR16* name,
                            uint64_t mode, uint64_t attributes) {
    const Call c = call("File.Open", mode == EFI_FILE_MODE_READ && attributes == 0);
    const auto found = fw->files.find(narrow(name));
    return found == fw->files.end() ? c.answer.value_or(EFI_NOT_FOUND)
                                    : open_file(c, &found->second, out);
}

EFI_STATUS EFIAPI file_close(EFI_FILE_PROTOCOL* self) {
    reinterpret_cast<FakeFirmware::OpenFile*>(self)->closed = true;
    return EFI_SUCCESS;
}

// The loader reads what GetInfo told, in pieces of at most 1 MiB into one
// allocation, each right after the last, never after Close: anything else is
// its fault, not the firmware's.
EFI_STATUS EFIAPI file_read(EFI_FILE_PROTOCOL* self, UINTN* size, void* buffer) {
    const Call c = call("File.Read");
    auto& file = *reinterpret_cast<FakeFirmware::OpenFile*>(self);
    const uint64_t at = reinterpret_cast<uint64_t>(buffer), asked = *size;
    const bool in_a_block = std::ranges::any_of(fw->allocations, [&](const auto& block) {
        return block.first <= at && at + asked <= block.first + block.second;
    });
    if (file.closed || !in_a_block || (file.next_buffer != 0 && at != file.next_buffer) ||
        asked != std::min<uint64_t>(1 << 20, file.told_size - file.reported)) {
        throw std::logic_error("File.Read outside the reading contract");
    }
    const uint64_t left = file.bytes->size() - std::min(file.reported, file.bytes->size());
    const uint64_t count = c.answer ? asked : std::min(asked, left); // a failure writes nothing
    if (!c.answer) {
        std::memcpy(buffer, file.bytes->data() + file.bytes->size() - left, count);
    }
    *size = count;
    file.reported += count;
    file.next_buffer = at + count;
    return c.answer.value_or(EFI_SUCCESS);
}

// A record with a long name does not fit the loader's 512 bytes.
EFI_STATUS EFIAPI file_get_info(EFI_FILE_PROTOCOL* self, const EFI_GUID* type, UINTN* size,
                                void* buffer) {
    const Call c = call("File.GetInfo", *type == EFI_FILE_INFO_ID);
    auto& file = *reinterpret_cast<FakeFirmware::OpenFile*>(self);
    const bool too_small = c.is("Status") && c.fault->status == EFI_BUFFER_TOO_SMALL;
    EFI_FILE_INFO info = {};
    info.FileSize = file.told_size = file.bytes->size() - c.is("Short") + c.is("Long");
    std::memcpy(buffer, &info, c.answer ? 0 : sizeof(info));
    *size = too_small ? 600 : c.answer ? *size : sizeof(EFI_FILE_INFO) + 36;
    return c.answer.value_or(EFI_SUCCESS);
}

// A handle on the volume's root (no bytes) or on a file, unless the fault
// settles the answer.
EFI_STATUS open_file(const Call& c, const std::vector<uint8_t>* bytes, EFI_FILE_PROTOCOL** out) {
    if (c.answer) {
        return *c.answer;
    }
    fw->open_files.push_back(
        {{.Open = file_open, .Close = file_close, .Read = file_read, .GetInfo = file_get_info},
         bytes});
    *out = &fw->open_files.back().protocol;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, UINTN attribute) {
    const bool error = self == fw->system_table()->StdErr;
    const std::string mark = (error ? "<err " : "<out ") + std::to_string(attribute) + ">";
    fw->console.append(mark.begin(), mark.end());
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, const CHAR16* text) {
    for (const CHAR16* unit = text; *unit != 0; ++unit) {
        fw->console.push_back(static_cast<char16_t>(*unit));
    }
    return EFI_SUCCESS;
}

} // namespace

FakeFirmware::FakeFirmware(uint64_t arena_bytes)
    : arena(take_arena(arena_bytes)), arena_size(arena_bytes) {
    // Memory as the firmware hands it over is not clear: make that visible.
    std::memset(arena, 0xCC, arena_bytes);
    boot_services_ = {.AllocatePages = allocate_pages,
                      .GetMemoryMap = get_memory_map,
                      .AllocatePool = allocate_pool,
                      .LocateHandle = locate_handle,
                      .Exit = exit_image,
                      .ExitBootServices = exit_boot_services,
                      .SetWatchdogTimer = set_watchdog_timer,
                      .OpenProtocol = open_protocol};
    runtime_services_.GetVariable = get_variable;
    standard_error = console_out = {.OutputString = output_string, .SetAttribute = set_attribute};
    system_table_ = {.ConOut = &console_out,
                     .StdErr = &standard_error,
                     .RuntimeServices = &runtime_services_,
                     .BootServices = &boot_services_,
                     .NumberOfTableEntries = 4,
                     .ConfigurationTable = configuration};
    loaded_image.DeviceHandle = device_handle();
    file_system.OpenVolume = open_volume;
    // Everything the loader obtains comes from the arena: loader data.
    const uint64_t typical[][3] = {{EfiBootServicesCode, 0x0, 1},
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
                                   {EfiLoaderData, arena_base(), arena_size / 4096},
                                   {EfiMemoryMappedIO, 0xffc00000, 0x400}};
    for (const auto& [type, start, pages] : typical) {
        add_descriptor(static_cast<uint32_t>(type), start, pages);
    }
    fw = this;
}

FakeFirmware::~FakeFirmware() {
    std::free(spare_arena.first);
    spare_arena = {arena, arena_size};
    fw = fw == this ? nullptr : fw;
}

const Fault* FakeFirmware::fault_for(const char* call) {
    if (calls.size() == 10000) { // a loader that calls without end is stopped here
        throw std::runtime_error("the firmware is called without end");
    }
    const auto occurrence = std::ranges::count(calls, call);
    calls.push_back(call);
    for (const Fault& f : faults) {
        if (f.call == call &&
            (f.occurrence == occurrence || (f.sticky && f.occurrence < occurrence))) {
            if (f.shape == "Gone") {
                system_table_.BootServices = nullptr;
                return nullptr;
            }
            return &f;
        }
    }
    return nullptr;
}

uint64_t FakeFirmware::allocate(uint64_t bytes, bool pages) {
    const uint64_t start = pages ? (arena_used + 4095) / 4096 * 4096 : (arena_used + 7) / 8 * 8;
    if (bytes > largest_allocation || start + bytes > arena_size) {
        return 0;
    }
    arena_used = start + bytes;
    ++map_key;
    return arena_base() + start;
}
