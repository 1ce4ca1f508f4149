// The loader's SHA-256 against OpenSSL's, for any message fed in any split
// into pieces: the first input byte picks the piece sizes (from a few bytes
// up to a read piece of 1 MiB, so that blocks straddle pieces in every way),
// the rest is the message, now and then repeated into a long one.
#include "crypto/sha256.h"
#include "tests/fuzz/fuzz_support.h"

#include <openssl/sha.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint64_t shape = data[0];
    std::vector<uint8_t> message(data + 1, data + size);
    // Now and then a long message: the input repeated up to some 32 KiB.
    while ((shape & 0xc0) == 0xc0 && size > 1 && message.size() < ((shape & 0x3f) << 9)) {
        message.insert(message.end(), data + 1, data + size);
    }
    Sha256 hash = sha256_start();
    for (uint64_t at = 0, step = 0; at < message.size(); ++step) {
        const uint64_t sizes[] = {1,      63, 64, 65, 1 + (shape & 0x3f), 128 * (1 + (shape & 7)),
                                  1 << 20};
        const uint64_t piece = std::min<uint64_t>(sizes[(shape + step) % 7], message.size() - at);
        sha256_add(hash, message.data() + at, piece);
        at += piece;
    }
    uint8_t reference[SHA256_DIGEST_LENGTH];
    SHA256(message.data(), message.size(), reference);
    require(std::memcmp(sha256_finish(hash).bytes, reference, sizeof(reference)) == 0,
            "different digests for " + dec(message.size()) + " bytes");
    return 0;
}
