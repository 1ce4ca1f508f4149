// The memory primitives a freestanding image must bring itself: the compiler
// emits calls to them for structure copies and clears.
#include <stddef.h>
#include <stdint.h>

namespace {

constexpr size_t kWord = sizeof(uint64_t);

bool word_aligned(const void* pointer) {
    return (reinterpret_cast<uintptr_t>(pointer) & (kWord - 1)) == 0;
}

} // namespace

extern "C" void* memset(void* destination, int value, size_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    const auto byte = static_cast<unsigned char>(value);
    while (count != 0 && !word_aligned(out)) {
        *out++ = byte;
        --count;
    }
    // Page-table pages are cleared through here, so the aligned body stores
    // whole words, eight at a time.
    const uint64_t pattern = 0x0101010101010101ull * byte;
    auto* words = reinterpret_cast<uint64_t*>(out);
    for (; count >= 8 * kWord; count -= 8 * kWord, words += 8) {
        words[0] = pattern;
        words[1] = pattern;
        words[2] = pattern;
        words[3] = pattern;
        words[4] = pattern;
        words[5] = pattern;
        words[6] = pattern;
        words[7] = pattern;
    }
    for (; count >= kWord; count -= kWord) {
        *words++ = pattern;
    }
    out = reinterpret_cast<unsigned char*>(words);
    while (count-- != 0) {
        *out++ = byte;
    }
    return destination;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    const auto* in = static_cast<const unsigned char*>(source);
    if (word_aligned(out) && word_aligned(in)) {
        for (; count >= kWord; count -= kWord, out += kWord, in += kWord) {
            *reinterpret_cast<uint64_t*>(out) = *reinterpret_cast<const uint64_t*>(in);
        }
    }
    while (count-- != 0) {
        *out++ = *in++;
    }
    return destination;
}

extern "C" void* memmove(void* destination, const void* source, size_t count) {
    auto* out = static_cast<unsigned char*>(destination);
    const auto* in = static_cast<const unsigned char*>(source);
    if (out <= in || out >= in + count) {
        return memcpy(destination, source, count);
    }
    // The destination overlaps the end of the source: copy from the back.
    while (count-- != 0) {
        out[count] = in[count];
    }
    return destination;
}
