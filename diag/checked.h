// Checked arithmetic and pointer conversion. Every sum and product that
// forms an address, a size or a count goes through here, so a value can
// never wrap silently: a failed check ends in check_failed with its message.
#pragma once

#include "diag/text.h"

#include <stdint.h>

[[noreturn]] void fail_integer_overflow();
[[noreturn]] void fail_index_out_of_bounds(uint64_t index, uint64_t length);
[[noreturn]] void fail_start_after_end(uint64_t start, uint64_t end);
[[noreturn]] void fail_incorrect_alignment();
[[noreturn]] void fail_null_pointer();
[[noreturn]] void fail_null_value();
[[noreturn]] void fail_inexact_division();
[[noreturn]] void fail_division_by_zero();
[[noreturn]] void fail_copy_alias();

constexpr uint64_t kPageSize = 4096;
constexpr uint64_t kPageMask = kPageSize - 1;

// For sums and products of untrusted input (a file, a firmware table), where
// not fitting in 64 bits is a fact about the input that the caller names:
// false on overflow, and `result` is then meaningless.
inline bool try_add(uint64_t a, uint64_t b, uint64_t& result) {
    return !__builtin_add_overflow(a, b, &result);
}

inline bool try_mul(uint64_t a, uint64_t b, uint64_t& result) {
    return !__builtin_mul_overflow(a, b, &result);
}

inline uint64_t checked_add(uint64_t a, uint64_t b) {
    uint64_t sum;
    if (!try_add(a, b, sum)) {
        fail_integer_overflow();
    }
    return sum;
}

inline uint64_t checked_sub(uint64_t a, uint64_t b) {
    uint64_t difference;
    if (__builtin_sub_overflow(a, b, &difference)) {
        fail_integer_overflow();
    }
    return difference;
}

inline uint64_t checked_mul(uint64_t a, uint64_t b) {
    uint64_t product;
    if (!try_mul(a, b, product)) {
        fail_integer_overflow();
    }
    return product;
}

inline uint32_t checked_mul_u32(uint32_t a, uint32_t b) {
    uint32_t product;
    if (__builtin_mul_overflow(a, b, &product)) {
        fail_integer_overflow();
    }
    return product;
}

// Byte length of a page count; 2^52 pages or more do not fit in 64 bits.
inline uint64_t pages_to_bytes(uint64_t pages) {
    return checked_mul(pages, kPageSize);
}

inline uint64_t page_align_down(uint64_t value) {
    return value & ~kPageMask;
}

inline uint64_t page_align_up(uint64_t value) {
    return checked_add(value, kPageMask) & ~kPageMask;
}

// A division whose result must be exact: a zero divisor or a remainder is a
// broken invariant, not a value to round.
inline uint64_t exact_div(uint64_t dividend, uint64_t divisor) {
    if (divisor == 0) {
        fail_division_by_zero();
    }
    if (dividend % divisor != 0) {
        fail_inexact_division();
    }
    return dividend / divisor;
}

inline void check_index(uint64_t index, uint64_t length) {
    if (index >= length) {
        fail_index_out_of_bounds(index, length);
    }
}

// [start, end) must lie within a buffer of `length` elements.
inline void check_range(uint64_t start, uint64_t end, uint64_t length) {
    if (start > end) {
        fail_start_after_end(start, end);
    }
    if (end > length) {
        fail_index_out_of_bounds(end, length);
    }
}

// An address that is about to be used as a pointer to T.
template <typename T> inline T* pointer_at(uint64_t address) {
    if (address == 0) {
        fail_null_pointer();
    }
    if (address % alignof(T) != 0) {
        fail_incorrect_alignment();
    }
    return reinterpret_cast<T*>(static_cast<uintptr_t>(address));
}

inline uint64_t address_of(const void* pointer) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}

// memcpy for ranges that must not overlap.
void copy_bytes(void* destination, const void* source, uint64_t count);
