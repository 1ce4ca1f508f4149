#include "platform/framebuffer.h"

#include "diag/checked.h"
#include "firmware/open_protocol.h"
#include "mm/direct_map.h"
#include "uefi/loader_globals.h"

namespace {

constexpr uint64_t kMaxHandles = 64;

struct MaskField {
    uint8_t size;
    uint8_t shift;
};

MaskField describe_mask(uint32_t mask) {
    if (mask == 0) {
        return {0, 0};
    }
    const int lowest = __builtin_ctz(mask);
    const int highest = 31 - __builtin_clz(mask);
    return {static_cast<uint8_t>(highest - lowest + 1), static_cast<uint8_t>(lowest)};
}

bool describe_bit_mask(const EFI_PIXEL_BITMASK& masks, PixelLayout& layout) {
    const uint32_t all = masks.RedMask | masks.GreenMask | masks.BlueMask | masks.ReservedMask;
    if (all == 0) {
        return false;
    }
    const int highest = 31 - __builtin_clz(all);
    const MaskField red = describe_mask(masks.RedMask);
    const MaskField green = describe_mask(masks.GreenMask);
    const MaskField blue = describe_mask(masks.BlueMask);
    layout = {static_cast<uint16_t>((highest + 1 + 7) / 8 * 8),
              red.size,
              red.shift,
              green.size,
              green.shift,
              blue.size,
              blue.shift};
    return true;
}

// The first handle that carries the protocol, or null.
EFI_HANDLE first_graphics_handle(EFI_BOOT_SERVICES* boot_services) {
    // Cleared: a firmware that reports handles without writing them gives a
    // null first handle, not one taken from the stack.
    EFI_HANDLE handles[kMaxHandles] = {};
    UINTN buffer_size = sizeof(handles);
    // Not found, or more handles than the buffer holds: no framebuffer.
    if (boot_services->LocateHandle(ByProtocol, &EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, nullptr,
                                    &buffer_size, handles) != EFI_SUCCESS) {
        return nullptr;
    }
    const uint64_t count = exact_div(buffer_size, sizeof(EFI_HANDLE));
    if (count > kMaxHandles) {
        fail_index_out_of_bounds(count, kMaxHandles);
    }
    return count == 0 ? nullptr : handles[0];
}

} // namespace

bool describe_pixels(const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION& info, PixelLayout& layout) {
    switch (info.PixelFormat) {
    case PixelRedGreenBlueReserved8BitPerColor:
        layout = {32, 8, 0, 8, 8, 8, 16};
        return true;
    case PixelBlueGreenRedReserved8BitPerColor:
        layout = {32, 8, 16, 8, 8, 8, 0};
        return true;
    case PixelBitMask:
        return describe_bit_mask(info.PixelInformation, layout);
    default:
        // Blt-only modes have no linear framebuffer; FrameBufferBase means
        // nothing there, and describing it would send the kernel to drawing
        // over whatever lies at that address.
        return false;
    }
}

void discover_framebuffer(quillmor_handoff& record) {
    EFI_BOOT_SERVICES* boot_services = current_boot_services();
    if (boot_services == nullptr) {
        fail_null_value();
    }
    EFI_HANDLE handle = first_graphics_handle(boot_services);
    if (handle == nullptr) {
        return;
    }
    const auto* graphics = static_cast<const EFI_GRAPHICS_OUTPUT_PROTOCOL*>(
        open_protocol(handle, EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID));
    if (graphics == nullptr || graphics->Mode == nullptr || graphics->Mode->Info == nullptr) {
        return;
    }
    const EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE& mode = *graphics->Mode;
    const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION& info = *mode.Info;
    PixelLayout layout;
    // A scan line shorter than the visible line (0 included) would give a
    // pitch below width × bytes per pixel: a kernel drawing by the record
    // would reach past the pages mapped for it.
    if (info.HorizontalResolution == 0 || info.VerticalResolution == 0 ||
        info.PixelsPerScanLine < info.HorizontalResolution || !describe_pixels(info, layout)) {
        return;
    }
    // The kernel reaches the framebuffer through the direct map only; one
    // that the direct map cannot hold is no framebuffer for it. (A pitch that
    // does not fit in 32 bits is the check failure below.)
    const uint64_t line_bytes = checked_mul(info.PixelsPerScanLine, layout.bits_per_pixel / 8u);
    uint64_t size;
    if (!try_mul(line_bytes, info.VerticalResolution, size) ||
        !fits_direct_map(mode.FrameBufferBase, size)) {
        return;
    }

    record.framebuffer_count = 1;
    record.framebuffer_address = mode.FrameBufferBase;
    record.framebuffer_width = info.HorizontalResolution;
    record.framebuffer_height = info.VerticalResolution;
    record.framebuffer_pitch = checked_mul_u32(info.PixelsPerScanLine, layout.bits_per_pixel / 8u);
    record.framebuffer_bits_per_pixel = layout.bits_per_pixel;
    record.framebuffer_memory_model = QUILLMOR_FRAMEBUFFER_RGB;
    record.red_mask_size = layout.red_size;
    record.red_mask_shift = layout.red_shift;
    record.green_mask_size = layout.green_size;
    record.green_mask_shift = layout.green_shift;
    record.blue_mask_size = layout.blue_size;
    record.blue_mask_shift = layout.blue_shift;
    record.reserved2 = 0;
}
