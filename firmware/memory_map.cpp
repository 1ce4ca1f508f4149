#include "firmware/memory_map.h"

#include "diag/checked.h"

namespace {

MemoryMapError error_for(EFI_STATUS status) {
    switch (status) {
    case EFI_BUFFER_TOO_SMALL:
        return MemoryMapError::BufferTooSmall;
    case EFI_INVALID_PARAMETER:
        return MemoryMapError::InvalidParameter;
    default:
        return MemoryMapError::Unexpected;
    }
}

} // namespace

Result<MemoryMapQuery, MemoryMapError> query_memory_map(EFI_GET_MEMORY_MAP get_memory_map) {
    UINTN map_size = 0;
    UINTN map_key = 0;
    UINTN descriptor_size = 0;
    uint32_t descriptor_version = 0;
    const EFI_STATUS status =
        get_memory_map(&map_size, nullptr, &map_key, &descriptor_size, &descriptor_version);
    // An empty buffer is normally "too small"; a firmware that answers
    // success has written back the size all the same.
    if (status != EFI_SUCCESS && status != EFI_BUFFER_TOO_SMALL) {
        return Result<MemoryMapQuery, MemoryMapError>::failure(MemoryMapError::Unexpected);
    }
    return Result<MemoryMapQuery, MemoryMapError>::success(
        {map_key, descriptor_size, exact_div(map_size, descriptor_size), descriptor_version});
}

Result<MemoryMap, MemoryMapError> read_memory_map(EFI_GET_MEMORY_MAP get_memory_map,
                                                  uint64_t buffer, uint64_t capacity) {
    UINTN map_size = capacity;
    UINTN map_key = 0;
    UINTN descriptor_size = 0;
    uint32_t descriptor_version = 0;
    const EFI_STATUS status =
        get_memory_map(&map_size, reinterpret_cast<EFI_MEMORY_DESCRIPTOR*>(buffer), &map_key,
                       &descriptor_size, &descriptor_version);
    if (status != EFI_SUCCESS) {
        return Result<MemoryMap, MemoryMapError>::failure(error_for(status));
    }
    // A firmware cannot have written more than the buffer holds; a larger
    // size would send every reader of the map past the buffer's end.
    check_range(0, map_size, capacity);
    return Result<MemoryMap, MemoryMapError>::success({map_key, descriptor_size,
                                                       exact_div(map_size, descriptor_size),
                                                       descriptor_version, buffer});
}

uint64_t memory_map_capacity(const MemoryMapQuery& query, uint64_t extra_descriptors) {
    return checked_mul(checked_add(query.descriptor_count, extra_descriptors),
                       query.descriptor_size);
}

MemoryDescriptor memory_descriptor(const MemoryMap& map, uint64_t index) {
    // The fields read must lie in the bytes the reading filled: a stride
    // shorter than the structure would take the last descriptor's fields
    // from past the end of the map.
    const uint64_t offset = checked_mul(index, map.descriptor_size);
    check_range(offset, checked_add(offset, sizeof(EFI_MEMORY_DESCRIPTOR)),
                checked_mul(map.descriptor_count, map.descriptor_size));
    const uint64_t address = checked_add(map.descriptors, offset);
    const auto* descriptor = pointer_at<const EFI_MEMORY_DESCRIPTOR>(address);
    return {descriptor->Type, descriptor->PhysicalStart, descriptor->NumberOfPages,
            descriptor->Attribute};
}
