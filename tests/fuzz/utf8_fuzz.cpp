// Arbitrary bytes as a check-failure message, converted to UCS-2 with a
// capacity from the first byte and through the check failure itself (997
// units, then CR LF NUL in the exit data). The reference is the C library's
// decoder, which refuses anything but well-formed UTF-8 (overlong forms of
// every length, surrogates, values past U+10FFFF, cut sequences): refused
// text converts to nothing; valid text converts exactly, cut after the last
// code point that fits.
#include "diag/stop.h"
#include "diag/utf8.h"
#include "tests/fuzz/fuzz_support.h"

#include <iconv.h>
#include <memory>

namespace {

std::u16string reference_ucs2(const uint8_t* text, size_t length, size_t capacity) {
    static const iconv_t decoder = iconv_open("UTF-16LE", "UTF-8");
    std::u16string units(length, u'\0'); // never more units than bytes
    char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(text));
    char* out = reinterpret_cast<char*>(units.data());
    size_t in_left = length, out_left = 2 * length;
    iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    const bool valid = iconv(decoder, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1);
    units.resize(valid ? length - out_left / 2 : 0);
    // A surrogate pair is one code point: it fits whole or not at all.
    const size_t cut = std::min(capacity, units.size());
    const bool split = cut != 0 && cut < units.size() && (units[cut - 1] & 0xFC00) == 0xD800;
    return units.substr(0, cut - split);
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
