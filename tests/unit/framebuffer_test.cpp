#include "boot/handoff_record.h"
#include "platform/framebuffer.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

class FramebufferTest : public LoaderTest {
  protected:
    std::unique_ptr<quillmor_handoff> record =
        std::make_unique<quillmor_handoff>(handoff_template());

    // Offsets 0x38 to 0x5f of the record: count, address, mode and masks.
    bool framebuffer_fields_zero() const {
        const auto* bytes = reinterpret_cast<const uint8_t*>(record.get());
        for (size_t offset = 0x38; offset < 0x60; ++offset) {
            if (bytes[offset] != 0) {
                return false;
            }
        }
        return true;
    }

    void expect_no_framebuffer() {
        discover_framebuffer(*record);
        EXPECT_TRUE(framebuffer_fields_zero());
        EXPECT_EQ(serial(), "");
    }

    void install(uint32_t pixels_per_line, EFI_GRAPHICS_PIXEL_FORMAT format,
                 EFI_PIXEL_BITMASK masks = {}) {
        firmware.install_graphics(1024, 768, pixels_per_line, format, 0xc0000000);
        firmware.graphics_info.PixelInformation = masks;
    }
};

TEST_F(FramebufferTest, NoUsableGraphicsMeansNoFramebufferAndNoLine) {
    expect_no_framebuffer(); // no protocol at all

    install(1024, PixelBlueGreenRedReserved8BitPerColor);
    firmware.locate_handle_status = EFI_BUFFER_TOO_SMALL; // more than 64 handles
    expect_no_framebuffer();
    firmware.locate_handle_status = EFI_SUCCESS;

    firmware.locate_handle_size = 0;
    expect_no_framebuffer();
    firmware.locate_handle_size.reset();

    firmware.graphics_handles = {nullptr, firmware.graphics_handle()};
    expect_no_framebuffer();

    // The first handle refuses; the second, which would work, is never tried.
    firmware.graphics_handles = {firmware.image_handle(), firmware.graphics_handle()};
    firmware.open_protocol_calls.clear();
    expect_no_framebuffer();
    ASSERT_EQ(firmware.open_protocol_calls.size(), 1u);
    EXPECT_EQ(firmware.open_protocol_calls[0].handle, firmware.image_handle());

    firmware.graphics_handles = {firmware.graphics_handle()};
    firmware.set_protocol(firmware.graphics_handle(), EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, nullptr);
    expect_no_framebuffer();
}

TEST_F(FramebufferTest, RefusedOpenIsLoggedAsUnexpectedWithTheHandle) {
    install(1024, PixelBlueGreenRedReserved8BitPerColor);
    firmware.set_protocol(firmware.graphics_handle(), EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID,
                          &firmware.graphics, EFI_ACCESS_DENIED);
    discover_framebuffer(*record);
    EXPECT_TRUE(framebuffer_fields_zero());
    EXPECT_EQ(serial(), "[quillmor] 取协议失败（Unexpected）句柄=0x6f6f000\r\n");
}

constexpr EFI_GRAPHICS_PIXEL_FORMAT kRgb = PixelRedGreenBlueReserved8BitPerColor;
constexpr EFI_GRAPHICS_PIXEL_FORMAT kBgr = PixelBlueGreenRedReserved8BitPerColor;
constexpr EFI_GRAPHICS_PIXEL_FORMAT kMasks = PixelBitMask;

TEST_F(FramebufferTest, ModeIsDescribedAsTheFirmwareLeftIt) {
    const struct {
        EFI_GRAPHICS_PIXEL_FORMAT format;
        EFI_PIXEL_BITMASK masks;
        uint32_t pixels_per_line, pitch;
        uint16_t bpp;
        uint8_t layout[6]; // red size, shift, green size, shift, blue size, shift
    } cases[] = {
        {kBgr, {}, 1056, 4224, 32, {8, 16, 8, 8, 8, 0}},
        {kRgb, {}, 1000, 4000, 32, {8, 0, 8, 8, 8, 16}},
        {kMasks, {0xf800, 0x07e0, 0x001f, 0}, 1000, 2000, 16, {5, 11, 6, 5, 5, 0}},
        {kMasks, {0xff0000, 0x00ff00, 0x0000ff, 0}, 1000, 3000, 24, {8, 16, 8, 8, 8, 0}},
        {kMasks, {0x1c0, 0x038, 0x007, 0}, 1000, 2000, 16, {3, 6, 3, 3, 3, 0}}, // nine bits
        {kMasks, {0x3ff, 0xffc00, 0x3ff00000, 0xc0000000}, 1000, 4000, 32, {10, 0, 10, 10, 10, 20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bpp);
        record = std::make_unique<quillmor_handoff>(handoff_template());
        install(c.pixels_per_line, c.format, c.masks);
        discover_framebuffer(*record);
        EXPECT_EQ(record->framebuffer_count, 1u);
        EXPECT_EQ(record->framebuffer_address, 0xc0000000u);
        EXPECT_EQ(record->framebuffer_width, 1024u);
        EXPECT_EQ(record->framebuffer_height, 768u);
        EXPECT_EQ(record->framebuffer_pitch, c.pitch);
        EXPECT_EQ(record->framebuffer_bits_per_pixel, c.bpp);
        EXPECT_EQ(record->framebuffer_memory_model, 1u);
        EXPECT_EQ(std::memcmp(&record->red_mask_size, c.layout, 6), 0);
        EXPECT_EQ(record->reserved1 | record->reserved2, 0u);
        EXPECT_EQ(serial(), "");
    }
}

TEST_F(FramebufferTest, ModesWithoutALinearFramebufferAreNotDescribed) {
    const struct {
        const char* what;
        uint32_t width, height;
        uint32_t format;
        EFI_PIXEL_BITMASK masks;
    } cases[] = {
        {"Blt only", 1024, 768, PixelBltOnly, {}},
        {"format 4", 1024, 768, 4, {}},
        {"format 7", 1024, 768, 7, {}},
        {"bit mask without bits", 1024, 768, PixelBitMask, {}},
        {"zero width", 0, 768, PixelBlueGreenRedReserved8BitPerColor, {}},
        {"zero height", 1024, 0, PixelBlueGreenRedReserved8BitPerColor, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        firmware.install_graphics(c.width, c.height, 1024,
                                  static_cast<EFI_GRAPHICS_PIXEL_FORMAT>(c.format), 0xc0000000);
        firmware.graphics_info.PixelInformation = c.masks;
        expect_no_framebuffer();
    }
}

TEST_F(FramebufferTest, FramebufferTheDirectMapCannotHoldIsNoFramebuffer) {
    constexpr uint64_t kSize = 768 * 4096; // 768 lines of 1024 pixels
    const struct {
        uint64_t base;
        uint32_t count;
    } cases[] = {
        {1ull << 47, 0},
        {(1ull << 47) - kSize, 0}, // its direct-map end would be 2^64
        {(1ull << 47) - kSize - 4096, 1},
        {~0ull - 4095, 0},
    };
    for (const auto& c : cases) {
        record = std::make_unique<quillmor_handoff>(handoff_template());
        firmware.install_graphics(1024, 768, 1024, kBgr, c.base);
        discover_framebuffer(*record);
        EXPECT_EQ(record->framebuffer_count, c.count) << c.base;
        EXPECT_TRUE(c.count != 0 || framebuffer_fields_zero()) << c.base;
    }
    EXPECT_EQ(serial(), "");
}

TEST_F(FramebufferTest, PitchMustFitInThirtyTwoBits) {
    const struct {
        EFI_GRAPHICS_PIXEL_FORMAT format;
        EFI_PIXEL_BITMASK masks;
        uint32_t largest_line;
        uint32_t largest_pitch;
    } cases[] = {
        {kBgr, {}, 0x3fffffff, 0xfffffffc},
        {kMasks, {0xf800, 0x07e0, 0x001f, 0}, 0x7fffffff, 0xfffffffe},
        {kMasks, {0xff0000, 0x00ff00, 0x0000ff, 0}, 0x55555555, 0xffffffff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.largest_line);
        record = std::make_unique<quillmor_handoff>(handoff_template());
        install(c.largest_line, c.format, c.masks);
        discover_framebuffer(*record);
        EXPECT_EQ(record->framebuffer_pitch, c.largest_pitch);

        record = std::make_unique<quillmor_handoff>(handoff_template());
        install(c.largest_line + 1, c.format, c.masks);
        expect_check_failure([&] { discover_framebuffer(*record); }, "integer overflow");
        EXPECT_EQ(record->framebuffer_count, 1u); // written before the pitch
        EXPECT_EQ(record->framebuffer_pitch, 0u);
    }
}

TEST_F(FramebufferTest, BrokenHandleListsAndMissingBootServicesAreCheckFailures) {
    install(1024, PixelBlueGreenRedReserved8BitPerColor);
    firmware.locate_handle_size = 12;
    expect_check_failure([&] { discover_framebuffer(*record); },
                         "exact division produced remainder");
    firmware.locate_handle_size = 65 * 8;
    expect_check_failure([&] { discover_framebuffer(*record); },
                         "index out of bounds: index 65, len 64");
    EXPECT_TRUE(framebuffer_fields_zero());

    // Without boot services there is no exit: the message goes to the consoles.
    firmware.system_table()->BootServices = nullptr;
    EXPECT_THROW(discover_framebuffer(*record), fake_arch::Halted);
    ASSERT_FALSE(firmware.standard_error.strings.empty());
    EXPECT_EQ(firmware.standard_error.strings.back(), u"attempt to use null value\r\n");
}

} // namespace
