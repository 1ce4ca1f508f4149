// The loader's SHA-256 against OpenSSL's. The first input byte picks the size
// of the pieces the rest is fed in (1 to 130 bytes, so that blocks straddle
// pieces in every way); the seeds put the length in the padding's block and
// in the next.
#include "crypto/sha256.h"
#include "tests/fuzz/fuzz_support.h"

#include <openssl/sha.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 130;
    Sha256 hash = sha256_start();
    for (size_t at = 1; at < size; at += piece) {
        sha256_add(hash, data + at, std::min(piece, size - at));
    }
    uint8_t reference[SHA256_DIGEST_LENGTH];
    SHA256(data + 1, size - 1, reference);
    require(std::memcmp(sha256_finish(hash).bytes, reference, sizeof(reference)) == 0, "digest");
    return 0;
}
