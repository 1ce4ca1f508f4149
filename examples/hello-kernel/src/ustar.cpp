// A ustar archive is a run of 512-byte blocks: each member is a header block
// (name, size in octal, type, the magic "ustar") followed by its data rounded
// up to whole blocks; two zero blocks (or the end of the bytes) close it.
#include "serial.h"
#include "summary.h"

namespace {

constexpr uint64_t kBlock = 512;
constexpr unsigned kNameAt = 0, kNameSize = 100;
constexpr unsigned kSizeAt = 124, kSizeSize = 12;
constexpr unsigned kTypeAt = 156;
constexpr unsigned kMagicAt = 257;
constexpr unsigned kPrefixAt = 345, kPrefixSize = 155;
constexpr unsigned kMembersShown = 8;

bool has_magic(const volatile uint8_t* header) {
    for (unsigned i = 0; i < 5; ++i) {
        if (header[kMagicAt + i] != static_cast<uint8_t>("ustar"[i])) {
            return false;
        }
    }
    return true;
}

// The size field: octal digits, ended by a space or a NUL.
uint64_t octal(const volatile uint8_t* field, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
        value = value << 3 | (field[i] - '0');
    }
    return value;
}

// Fixed-size text from volatile memory, copied so it can be printed.
void print_text(const volatile uint8_t* field, unsigned width) {
    char text[kPrefixSize + 1] = {};
    for (unsigned i = 0; i < width && field[i] != 0; ++i) {
        text[i] = static_cast<char>(field[i]);
    }
    print(static_cast<const char*>(text));
}

} // namespace

void print_ustar_members(const volatile uint8_t* archive, uint64_t length) {
    if (length < kBlock || !has_magic(archive)) {
        print("    (not a ustar archive)\r\n");
        return;
    }
    unsigned shown = 0, members = 0;
    for (uint64_t at = 0; length - at >= kBlock && has_magic(archive + at);) {
        const volatile uint8_t* header = archive + at;
        const uint64_t size = octal(header + kSizeAt, kSizeSize);
        const uint8_t type = header[kTypeAt];
        if (type == '0' || type == 0) { // regular files only
            ++members;
            if (shown < kMembersShown) {
                ++shown;
                print("    file ");
                if (header[kPrefixAt] != 0) {
                    print_text(header + kPrefixAt, kPrefixSize);
                    print("/");
                }
                print_text(header + kNameAt, kNameSize);
                print(", ", size, " bytes\r\n");
            }
        }
        // Past the header and the member's data; a size that runs past the
        // end of the archive ends the walk.
        const uint64_t blocks = 1 + size / kBlock + (size % kBlock != 0);
        if (blocks > (length - at) / kBlock) {
            break;
        }
        at += blocks * kBlock;
    }
    if (members > shown) {
        print("    ... and ", members - shown, " more files\r\n");
    }
}
