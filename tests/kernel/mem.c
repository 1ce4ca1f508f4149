/*
 * The compiler may turn structure copies and clearing loops into calls to
 * these functions even in a freestanding build. The string instructions keep
 * it from recognising the bodies as such loops and calling itself.
 */
#include <stddef.h>
#include <stdint.h>

void* memcpy(void* destination, const void* source, size_t count);
void* memmove(void* destination, const void* source, size_t count);
void* memset(void* destination, int value, size_t count);
int memcmp(const void* left, const void* right, size_t count);

void* memcpy(void* destination, const void* source, size_t count) {
    void* start = destination;
    __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(count) : : "memory");
    return start;
}

void* memmove(void* destination, const void* source, size_t count) {
    if ((uintptr_t)destination <= (uintptr_t)source ||
        (uintptr_t)destination >= (uintptr_t)source + count) {
        return memcpy(destination, source, count);
    }
    /* Overlapping with the destination above the source: copy backwards. */
    unsigned char* d = (unsigned char*)destination + count - 1;
    const unsigned char* s = (const unsigned char*)source + count - 1;
    __asm__ volatile("std; rep movsb; cld" : "+D"(d), "+S"(s), "+c"(count) : : "memory");
    return destination;
}

void* memset(void* destination, int value, size_t count) {
    void* start = destination;
    __asm__ volatile("rep stosb" : "+D"(destination), "+c"(count) : "a"(value) : "memory");
    return start;
}

int memcmp(const void* left, const void* right, size_t count) {
    const volatile unsigned char* l = left;
    const volatile unsigned char* r = right;
    for (size_t i = 0; i < count; i++) {
        if (l[i] != r[i]) {
            return l[i] < r[i] ? -1 : 1;
        }
    }
    return 0;
}
