// Byte text with an explicit length. Log texts are UTF-8 and written exactly
// as they stand, so they never need a terminator or a length scan.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Text {
    const char* bytes;
    uint64_t length;

    // From a string literal: the length excludes the terminating NUL, and is
    // known at compile time.
    template <size_t N> consteval Text(const char (&literal)[N]) : bytes(literal), length(N - 1) {}

    constexpr Text(const char* text_bytes, uint64_t text_length)
        : bytes(text_bytes), length(text_length) {}
};
