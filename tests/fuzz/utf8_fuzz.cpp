// Arbitrary bytes as a check-failure message, converted to UCS-2 with a
// capacity from the first byte and through the check failure itself (997
// units, then CR LF NUL in the exit data). The reference decodes by the table
// of well-formed UTF-8 byte sequences: anything else converts to nothing;
// valid text converts exactly, cut after the last code point that fits.
#include "diag/stop.h"
#include "diag/utf8.h"
#include "tests/fuzz/fuzz_support.h"

#include <memory>

namespace {

// The well-formed byte sequences of UTF-8, by lead byte: the sequence length
// and the range of the second byte (overlong forms, surrogates and values
// above U+10FFFF are excluded by these ranges); later bytes are 80 to BF.
struct Form {
    uint8_t first_lead, last_lead, length, second_low, second_high;
};
constexpr Form kForms[] = {
    {0x00, 0x7F, 1, 0, 0},       {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
    {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};

std::u16string reference_ucs2(const uint8_t* text, size_t length, size_t capacity) {
    std::u16string units;
    for (size_t i = 0; i < length;) {
        const Form* form = std::find_if(std::begin(kForms), std::end(kForms), [&](const Form& f) {
            return f.first_lead <= text[i] && text[i] <= f.last_lead;
        });
        if (form == std::end(kForms) || length - i < form->length) {
            return u"";
        }
        uint32_t code_point = form->length == 1 ? text[i] : text[i] & (0x7F >> form->length);
        for (size_t k = 1; k < form->length; ++k) {
            const uint8_t byte = text[i + k];
            if (byte < (k == 1 ? form->second_low : 0x80) ||
                byte > (k == 1 ? form->second_high : 0xBF)) {
                return u"";
            }
            code_point = code_point << 6 | (byte & 0x3F);
        }
        i += form->length;
        const uint32_t high = code_point - 0x10000;
        const std::u16string encoded =
            code_point > 0xFFFF
                ? std::u16string{char16_t(0xD800 + (high >> 10)), char16_t(0xDC00 + (high & 0x3FF))}
                : std::u16string(1, char16_t(code_point));
        // Once a code point does not fit, nothing more is written.
        capacity = units.size() + encoded.size() > capacity ? units.size() : capacity;
        units += units.size() < capacity ? encoded : u"";
    }
    return units;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t* text = data + 1;
    const size_t length = size - 1, capacity = data[0];
    // Exactly `capacity` units, so that a write past them is caught.
    const auto out = std::make_unique<uint16_t[]>(capacity);
    const uint64_t written =
        utf8_to_ucs2(reinterpret_cast<const char*>(text), length, out.get(), capacity);
    require(std::u16string(out.get(), out.get() + written) ==
                reference_ucs2(text, length, capacity),
            "conversion");
    LoaderRun run;
    run([&]() -> std::string { check_failed(Text(reinterpret_cast<const char*>(text), length)); });
    require(run.firmware.exit_call &&
                run.firmware.exit_call->data ==
                    reference_ucs2(text, length, 997) + std::u16string(u"\r\n\0", 3),
            "check failure text");
    return 0;
}
