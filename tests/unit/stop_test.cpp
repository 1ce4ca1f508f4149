#include "diag/checked.h"
#include "diag/stop.h"
#include "tests/unit/loader_test.h"

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using fake_arch::EventKind;

constexpr uint64_t kMax = ~0ull;

// Consoles that log into one shared trace, so the order across StdErr and
// ConOut shows. They answer with errors, which must be ignored.
struct TracedConsole {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL protocol;
    const char* name;
};
std::vector<std::string> trace;

EFI_STATUS EFIAPI traced_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, UINTN attribute) {
    trace.push_back(reinterpret_cast<TracedConsole*>(self)->name +
                    (" " + std::to_string(attribute)));
    return EFI_DEVICE_ERROR;
}

EFI_STATUS EFIAPI traced_text(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, const CHAR16* text) {
    trace.push_back(reinterpret_cast<TracedConsole*>(self)->name + (" " + narrow(text)));
    return EFI_DEVICE_ERROR;
}

class StopTest : public LoaderTest {
  protected:
    // Interrupts off right before the halt.
    static void expect_ends_in_halt() {
        const auto& events = fake_arch::events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2].kind, EventKind::DisableInterrupts);
        EXPECT_EQ(events.back().kind, EventKind::Halt);
    }
};

TEST_F(StopTest, FatalStopWritesItsLineAndHaltsWithoutTheFirmware) {
    for (bool with_boot_services : {true, false}) {
        fake_arch::reset();
        firmware.system_table()->BootServices =
            with_boot_services ? &firmware.boot_services() : nullptr;
        expect_halt([] { fatal_stop("文件为空"); });
        EXPECT_EQ(serial(), "[quillmor] 装载失败：文件为空\r\n");
        expect_ends_in_halt();
        EXPECT_TRUE(firmware.calls.empty());
    }
}

TEST_F(StopTest, CheckFailureShowsRedThenWhiteOnStdErrThenConOutAndExitsAborted) {
    TracedConsole err = {{}, "err"};
    TracedConsole out = {{}, "out"};
    for (TracedConsole* console : {&err, &out}) {
        console->protocol.OutputString = traced_text;
        console->protocol.SetAttribute = traced_attribute;
    }
    trace.clear();
    firmware.system_table()->StdErr = &err.protocol;
    firmware.system_table()->ConOut = &out.protocol;
    expect_check_failure([] { check_failed("integer overflow"); }, "integer overflow");
    EXPECT_EQ(trace, (std::vector<std::string>{"err 4", "err integer overflow\r\n", "err 15",
                                               "out 4", "out integer overflow\r\n", "out 15"}));
    EXPECT_EQ(firmware.calls, (std::vector<std::string>{"AllocatePool", "Exit"}));
    EXPECT_EQ(firmware.pool_requests, std::vector<uint64_t>{38});
    EXPECT_EQ(firmware.exit_call->image, firmware.image_handle());
    EXPECT_EQ(firmware.exit_call->status, 0x8000000000000015ull);
    EXPECT_EQ(firmware.exit_call->data_size, 38u);
    EXPECT_EQ(serial(), ""); // nothing of it goes to the serial log
    expect_ends_in_halt();   // the fake Exit returns

    trace.clear(); // one device behind both: shown twice
    firmware.system_table()->ConOut = &err.protocol;
    expect_check_failure([] { check_failed("x"); }, "x");
    EXPECT_EQ(trace.size(), 6u);
}

TEST_F(StopTest, MessageBecomesUcs2ValidatedAndCutAt997UnitsNeverInsideAPair) {
    const std::u16string pair = {0xD83D, 0xDE00}; // U+1F600
    const std::string emoji = "\xF0\x9F\x98\x80";
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        {"\xC2\x80\xE0\xA0\x80\xEF\xBF\xBF", u"\u0080\u0800\uFFFF"},
        {"装载失败", u"装载失败"},
        {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},
        {"a" + emoji + "z", u"a" + pair + u"z"},
        {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
        // Invalid anywhere: the text is empty.
        {"\xC0\xAF", u""},             // overlong "/"
        {"\xE0\x80\xAF", u""},         // overlong, three bytes
        {"\xF0\x8F\xBF\xBF", u""},     // overlong U+FFFF
        {"\xED\xA0\x80", u""},         // encoded surrogate
        {"\xED\xBF\xBF", u""},         // encoded surrogate
        {"\xF4\x90\x80\x80", u""},     // U+110000
        {"\xF8\x88\x80\x80\x80", u""}, // five-byte form
        {"\x80", u""},                 // stray continuation
        {"ab\xE4\xB8", u""},           // truncated at the end
        {"\xE4\xB8"
         "ab",
         u""}, // truncated in the middle
        {"integer overflow\xFF", u""},
        // Long texts.
        {std::string(997, 'a'), std::u16string(997, u'a')},
        {std::string(1200, 'a'), std::u16string(997, u'a')},
        {std::string(995, 'a') + emoji, std::u16string(995, u'a') + pair},
        {std::string(996, 'a') + emoji, std::u16string(996, u'a')},
    };
    for (const auto& [message, text] : cases) {
        firmware.exit_call.reset();
        EXPECT_THROW(check_failed(Text(message.data(), message.size())), fake_arch::Halted);
        ASSERT_TRUE(firmware.exit_call.has_value());
        EXPECT_EQ(firmware.exit_call->data, text + std::u16string(u"\r\n\0", 3)) << message;
        EXPECT_EQ(firmware.exit_call->data_size, 2 * (text.size() + 3));
        EXPECT_EQ(firmware.pool_requests.back(), 2 * (text.size() + 3));
        EXPECT_EQ(firmware.console_out.strings.back(), text + u"\r\n");
    }
}

TEST_F(StopTest, CheckFailureWithoutConsolesStillExits) {
    firmware.system_table()->StdErr = nullptr;
    firmware.system_table()->ConOut = nullptr;
    expect_check_failure([] { check_failed("division by zero"); }, "division by zero");
}

TEST_F(StopTest, CheckFailureHaltsWhenTheFirmwareCannotTakeControlBack) {
    const std::vector<std::function<void()>> cases = {
        [&] { firmware.system_table()->BootServices = nullptr; },
        [&] { firmware.allocate_pool_successes_left = 0; },
        [&] { firmware.boot_services().AllocatePool = fake_pool_without_buffer; },
    };
    for (const auto& setup : cases) {
        firmware.console_out.strings.clear();
        setup();
        expect_halt([] { check_failed("integer overflow"); });
        expect_ends_in_halt();
        EXPECT_FALSE(firmware.exit_call.has_value());
        EXPECT_EQ(firmware.console_out.strings,
                  std::vector<std::u16string>{u"integer overflow\r\n"});
        firmware.system_table()->BootServices = &firmware.boot_services();
    }
}

TEST_F(StopTest, CheckedOperationsFailWithTheirMessages) {
    uint64_t words[4] = {};
    const std::vector<std::tuple<std::function<void()>, std::string>> cases = {
        {[] { fail_index_out_of_bounds(70, 64); }, "index out of bounds: index 70, len 64"},
        {[] { check_index(64, 64); }, "index out of bounds: index 64, len 64"},
        {[] { check_range(0, 11, 10); }, "index out of bounds: index 11, len 10"},
        {[] { fail_index_out_of_bounds(kMax, 0); },
         "index out of bounds: index 18446744073709551615, len 0"},
        {[] { check_range(5, 3, 10); }, "start index 5 is larger than end index 3"},
        {[] { fail_start_after_end(kMax, 0); },
         "start index 18446744073709551615 is larger than end index 0"},
        {[] { checked_add(kMax, 1); }, "integer overflow"},
        {[] { checked_sub(0, 1); }, "integer overflow"},
        {[] { checked_mul(1ull << 32, 1ull << 32); }, "integer overflow"},
        {[] { checked_mul_u32(0x10000, 0x10000); }, "integer overflow"},
        {[] { pages_to_bytes(1ull << 52); }, "integer overflow"},
        {[] { page_align_up(kMax - 4094); }, "integer overflow"},
        {[] { exact_div(10, 0); }, "division by zero"},
        {[] { exact_div(10, 4); }, "exact division produced remainder"},
        {[] { pointer_at<uint64_t>(0); }, "cast causes pointer to be null"},
        {[] { pointer_at<uint64_t>(0x1004); }, "incorrect alignment"},
        {[] { fail_null_value(); }, "attempt to use null value"},
        {[&] { copy_bytes(words + 1, words, 16); }, "@memcpy arguments alias"},
    };
    for (const auto& [action, message] : cases) {
        expect_check_failure(action, message);
    }
    // Values at the limits pass.
    EXPECT_EQ(checked_add(kMax - 1, 1), kMax);
    EXPECT_EQ(pages_to_bytes((1ull << 52) - 1), kMax - 4095);
    EXPECT_EQ(page_align_up(kMax - 4095), kMax - 4095);
    copy_bytes(words + 2, words, 16); // touching ranges do not overlap
    copy_bytes(words, words + 2, 16);
}

} // namespace
