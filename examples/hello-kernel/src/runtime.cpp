// The two functions the compiler may call on its own, even in freestanding
// code (for struct copies and zero-initialised arrays). Nothing else of a C
// library is needed.
#include <stddef.h>

extern "C" void* memset(void* destination, int value, size_t count) {
    auto* bytes = static_cast<volatile unsigned char*>(destination);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
    auto* to = static_cast<volatile unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) {
        to[i] = from[i];
    }
    return destination;
}
