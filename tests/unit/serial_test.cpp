#include "boot/boot_sequence.h"
#include "diag/number_format.h"
#include "diag/serial.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

using fake_arch::Event;
using fake_arch::EventKind;

std::string hex(uint64_t value) {
    char text[kHexTextCapacity];
    return std::string(text, format_hex(value, text));
}

std::string decimal(uint64_t value) {
    char text[kDecimalTextCapacity];
    return std::string(text, format_decimal(value, text));
}

class SerialTest : public LoaderTest {};

TEST(NumberFormat, HexadecimalHasNoLeadingZerosButKeepsInnerOnes) {
    EXPECT_EQ(hex(0), "0x0");
    EXPECT_EQ(hex(0x10), "0x10");
    EXPECT_EQ(hex(4096), "0x1000");
    EXPECT_EQ(hex(0xabcdef), "0xabcdef");
    EXPECT_EQ(hex(0xffff800000000000ull), "0xffff800000000000");
    EXPECT_EQ(hex(0xffffffffffffffffull), "0xffffffffffffffff");
}

TEST(NumberFormat, DecimalCoversTheWholeRange) {
    EXPECT_EQ(decimal(0), "0");
    EXPECT_EQ(decimal(10), "10");
    EXPECT_EQ(decimal(1234567), "1234567");
    EXPECT_EQ(decimal(18446744073709551615ull), "18446744073709551615");
}

TEST_F(SerialTest, InitialisationIsSevenWritesInOrderAndNoReads) {
    serial_init();
    const std::vector<std::pair<uint16_t, uint8_t>> expected = {
        {0x3F9, 0x00}, {0x3FB, 0x80}, {0x3F8, 0x01}, {0x3F9, 0x00},
        {0x3FB, 0x03}, {0x3FA, 0xC7}, {0x3FC, 0x03}};
    const auto& events = fake_arch::events();
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events[i].kind, EventKind::PortWrite) << i;
        EXPECT_EQ(events[i].port, expected[i].first) << i;
        EXPECT_EQ(events[i].value, expected[i].second) << i;
    }
    EXPECT_EQ(fake_arch::line_status_reads(), 0u);
    EXPECT_EQ(serial(), ""); // the divisor byte is not output
}

TEST_F(SerialTest, EmptyTextTouchesNoPort) {
    serial_write("", 0);
    EXPECT_TRUE(fake_arch::events().empty());
    EXPECT_EQ(fake_arch::line_status_reads(), 0u);
}

TEST_F(SerialTest, TextIsWrittenByteForByteWithoutValidation) {
    const std::string bytes = "\xff\xfe[quillmor] 字节\r\n\x80";
    serial_write(bytes.data(), bytes.size());
    EXPECT_EQ(serial(), bytes);
    EXPECT_EQ(fake_arch::line_status_reads(), bytes.size());
}

TEST_F(SerialTest, NumbersGoOutInTheirLogForms) {
    serial_write_hex(0x1000);
    serial_write(" ");
    serial_write_dec(42);
    EXPECT_EQ(serial(), "0x1000 42");
}

TEST_F(SerialTest, ByteWaitsForTheTransmitterBetweenReads) {
    // Ready only on the third read.
    fake_arch::set_line_status([](uint64_t read) { return read == 2 ? 0x20 : 0x00; });
    serial_write_byte('A');
    EXPECT_EQ(serial(), "A");
    EXPECT_EQ(fake_arch::line_status_reads(), 3u);
}

TEST_F(SerialTest, DeadTransmitterDropsEachByteAfterTheBoundedWait) {
    fake_arch::set_line_status([](uint64_t) { return 0x00; });
    serial_write_byte('A');
    EXPECT_EQ(serial(), "");
    EXPECT_EQ(fake_arch::line_status_reads(), 10'000'002u);
    EXPECT_TRUE(fake_arch::port_writes().empty());
}

TEST_F(SerialTest, TransmitterReadyOnTheLastAllowedReadStillSends) {
    fake_arch::set_line_status([](uint64_t read) { return read == 10'000'001 ? 0x20 : 0x00; });
    serial_write_byte('A');
    EXPECT_EQ(serial(), "A");
    EXPECT_EQ(fake_arch::line_status_reads(), 10'000'002u);
}

TEST_F(SerialTest, NextByteStartsAFreshWaitAfterADroppedOne) {
    // Never ready for the whole first wait, then ready at once.
    fake_arch::set_line_status([](uint64_t read) { return read >= 10'000'002 ? 0x20 : 0x00; });
    serial_write("AB", 2);
    EXPECT_EQ(serial(), "B");
    EXPECT_EQ(fake_arch::line_status_reads(), 10'000'003u);
}

TEST(Banner, IsSixtyFiveBytesStartingWithALineBreak) {
    const std::string banner(kBanner);
    EXPECT_EQ(banner.size(), 65u);
    EXPECT_EQ(banner, "\r\n[quillmor] 引导加载器已由 Limine 引导管理器启动\r\n");
}

} // namespace
