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

namespace {

std::u16string reference_ucs2(const std::string& text, size_t capacity) {
    static const iconv_t decoder = iconv_open("UTF-16LE", "UTF-8");
    std::u16string units(text.size(), u'\0'); // never more units than bytes
    char* in = const_cast<char*>(text.data());
    char* out = reinterpret_cast<char*>(units.data());
    size_t in_left = text.size(), out_left = 2 * text.size();
    iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    const bool valid = iconv(decoder, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1);
    units.resize(valid ? text.size() - out_left / 2 : 0);
    // A surrogate pair is one code point: it fits whole or not at all.
    const size_t cut = std::min(capacity, units.size());
    const bool split = cut != 0 && cut < units.size() && (units[cut - 1] & 0xFC00) == 0xD800;
    return units.substr(0, cut - split);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t capacity = size == 0 ? 0 : data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size == 0 ? 0 : size - 1);
    std::vector<uint16_t> out(capacity); // exactly the capacity, so a write past it is caught
    const uint64_t written = utf8_to_ucs2(text.data(), text.size(), out.data(), capacity);
    require(std::u16string(out.begin(), out.begin() + written) == reference_ucs2(text, capacity),
            "conversion");
    LoaderRun run;
    run([&]() -> std::string { check_failed(Text(text.data(), text.size())); });
    require(run.firmware.exit_call.value().data ==
                reference_ucs2(text, 997) + std::u16string(u"\r\n\0", 3),
            "check failure text");
    return 0;
}
