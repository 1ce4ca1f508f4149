// The loader's SHA-256 against OpenSSL's, for any message fed in any split
// into pieces: the first input byte picks the piece sizes (from a few bytes
// up to a read piece of 1 MiB, so that blocks straddle pieces in every way),
// the rest is the message, now and then repeated into a long one.
#include "crypto/sha256.h"

#include <openssl/sha.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint64_t shape = data[0];
    std::vector<uint8_t> message(data + 1, data + size);
    // Now and then a long message: the input repeated up to some 32 KiB.
    if ((shape & 0xc0) == 0xc0 && !message.empty()) {
        while (message.size() < ((shape & 0x3f) << 9)) {
            message.insert(message.end(), data + 1, data + size);
        }
    }
    Sha256 hash = sha256_start();
    uint64_t at = 0;
    for (uint64_t step = 0; at < message.size(); ++step) {
        const uint64_t sizes[] = {1,      63, 64, 65, 1 + (shape & 0x3f), 128 * (1 + (shape & 7)),
                                  1 << 20};
        const uint64_t piece = std::min<uint64_t>(sizes[(shape + step) % 7], message.size() - at);
        sha256_add(hash, message.data() + at, piece);
        at += piece;
    }
    const Sha256Digest loader = sha256_finish(hash);
    uint8_t reference[SHA256_DIGEST_LENGTH];
    SHA256(message.data(), message.size(), reference);
    if (std::memcmp(loader.bytes, reference, sizeof(reference)) != 0) {
        std::fprintf(stderr, "different digests for %zu bytes\n", message.size());
        std::abort();
    }
    return 0;
}
