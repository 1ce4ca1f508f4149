// The linear framebuffer the firmware's Graphics Output Protocol has set up,
// described in the record as the firmware left it: no mode is chosen or set.
#pragma once

#include "uefi/uefi.h"

#include <quillmor/handoff.h>
#include <stdint.h>

struct PixelLayout {
    uint16_t bits_per_pixel;
    uint8_t red_size;
    uint8_t red_shift;
    uint8_t green_size;
    uint8_t green_shift;
    uint8_t blue_size;
    uint8_t blue_shift;
};

// How the mode's pixels are laid out in memory. False when the mode has no
// linear framebuffer to describe: Blt-only modes, unknown formats, and bit
// masks with no bit set.
bool describe_pixels(const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION& info, PixelLayout& layout);

// Fills the record's framebuffer fields from the first handle that carries
// the Graphics Output Protocol. Without a usable framebuffer the fields stay
// zero; nothing here stops the boot for an expected condition.
void discover_framebuffer(quillmor_handoff& record);
