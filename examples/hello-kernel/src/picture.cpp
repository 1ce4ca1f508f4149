#include "picture.h"

#include <stdint.h>

#include "serial.h"

namespace {

// Where one colour channel sits in a pixel, straight from the record.
struct Channel {
    uint8_t size;  // bits
    uint8_t shift; // position of the lowest bit
};

struct Canvas {
    volatile uint8_t* base; // direct-map address of pixel (0, 0)
    uint32_t width, height;
    uint32_t pitch;           // bytes from one line to the next; may exceed width * pixel size
    uint32_t bytes_per_pixel; // 1 to 4
    Channel red, green, blue;
};

struct Colour {
    uint8_t red, green, blue; // 0 to 255 each
};

constexpr Colour kWhite{255, 255, 255};
constexpr Colour kRed{255, 0, 0};
constexpr Colour kGreen{0, 255, 0};
constexpr Colour kBlue{0, 0, 255};
constexpr uint32_t kFrameWidth = 8;
constexpr uint8_t kGradientBlue = 64;

bool channel_fits(Channel channel, uint32_t bits_per_pixel) {
    return channel.size >= 1 && channel.size <= 16 &&
           channel.shift + channel.size <= bits_per_pixel;
}

// An 8-bit intensity scaled to the channel's width, moved to its position.
uint32_t place(uint8_t intensity, Channel channel) {
    uint32_t value = channel.size >= 8 ? uint32_t{intensity} << (channel.size - 8)
                                       : uint32_t{intensity} >> (8 - channel.size);
    return value << channel.shift;
}

// Never assume an order such as BGR: the pixel value is built from the masks.
uint32_t pixel_value(const Canvas& canvas, Colour colour) {
    return place(colour.red, canvas.red) | place(colour.green, canvas.green) |
           place(colour.blue, canvas.blue);
}

void put_pixel(const Canvas& canvas, uint32_t x, uint32_t y, uint32_t value) {
    volatile uint8_t* at =
        canvas.base + uint64_t{y} * canvas.pitch + uint64_t{x} * canvas.bytes_per_pixel;
    if (canvas.bytes_per_pixel == 4) {
        *reinterpret_cast<volatile uint32_t*>(at) = value;
        return;
    }
    for (uint32_t i = 0; i < canvas.bytes_per_pixel; ++i) { // little-endian, byte by byte
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void fill(const Canvas& canvas, uint32_t left, uint32_t top, uint32_t width, uint32_t height,
          Colour colour) {
    const uint32_t value = pixel_value(canvas, colour);
    for (uint32_t y = top; y < top + height && y < canvas.height; ++y) {
        for (uint32_t x = left; x < left + width && x < canvas.width; ++x) {
            put_pixel(canvas, x, y, value);
        }
    }
}

void draw_gradient(const Canvas& canvas) {
    const uint32_t x_span = canvas.width > 1 ? canvas.width - 1 : 1;
    const uint32_t y_span = canvas.height > 1 ? canvas.height - 1 : 1;
    for (uint32_t y = 0; y < canvas.height; ++y) {
        const uint8_t green = static_cast<uint8_t>(y * 255 / y_span);
        for (uint32_t x = 0; x < canvas.width; ++x) {
            const uint8_t red = static_cast<uint8_t>(x * 255 / x_span);
            put_pixel(canvas, x, y, pixel_value(canvas, {red, green, kGradientBlue}));
        }
    }
}

void draw_frame(const Canvas& canvas) {
    const uint32_t w = canvas.width, h = canvas.height;
    if (w <= 2 * kFrameWidth || h <= 2 * kFrameWidth) {
        return;
    }
    fill(canvas, 0, 0, w, kFrameWidth, kWhite);
    fill(canvas, 0, h - kFrameWidth, w, kFrameWidth, kWhite);
    fill(canvas, 0, 0, kFrameWidth, h, kWhite);
    fill(canvas, w - kFrameWidth, 0, kFrameWidth, h, kWhite);
}

void draw_squares(const Canvas& canvas) {
    const uint32_t w = canvas.width, h = canvas.height;
    const uint32_t side = (w < h ? w : h) / 4;
    const Colour colours[] = {kRed, kGreen, kBlue};
    for (uint32_t i = 0; i < 3; ++i) {
        fill(canvas, (i + 1) * w / 4 - side / 2, h / 2 - side / 2, side, side, colours[i]);
    }
}

} // namespace

bool draw_picture(const quillmor_handoff& record) {
    if (record.framebuffer_count == 0) {
        return false;
    }
    const uint32_t bits = record.framebuffer_bits_per_pixel;
    Canvas canvas{
        reinterpret_cast<volatile uint8_t*>(record.framebuffer_address),
        record.framebuffer_width,
        record.framebuffer_height,
        record.framebuffer_pitch,
        bits / 8,
        {record.red_mask_size, record.red_mask_shift},
        {record.green_mask_size, record.green_mask_shift},
        {record.blue_mask_size, record.blue_mask_shift},
    };
    // Drawing would write outside the framebuffer unless all of this holds.
    const bool drawable =
        record.framebuffer_memory_model == QUILLMOR_FRAMEBUFFER_RGB && bits % 8 == 0 && bits >= 8 &&
        bits <= 32 && channel_fits(canvas.red, bits) && channel_fits(canvas.green, bits) &&
        channel_fits(canvas.blue, bits) && canvas.width > 0 && canvas.height > 0 &&
        uint64_t{canvas.width} * canvas.bytes_per_pixel <= canvas.pitch;
    if (!drawable) {
        print("framebuffer: PROBLEM: a layout this kernel cannot draw on, not drawn\r\n");
        return false;
    }
    draw_gradient(canvas);
    draw_frame(canvas);
    draw_squares(canvas);
    print("framebuffer: drawn (gradient, white frame, red, green and blue squares)\r\n");
    return true;
}
