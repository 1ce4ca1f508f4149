// SHA-256 (FIPS 180-4) in general registers only, fed piece by piece as a
// file arrives, so that its bytes are touched once. The image carries no
// vector or SHA instructions, so this is plain integer code.
#pragma once

#include <stdint.h>

constexpr uint64_t kSha256DigestBytes = 32;

struct Sha256Digest {
    uint8_t bytes[kSha256DigestBytes];
};

struct Sha256 {
    uint32_t state[8];
    uint8_t pending[64];    // the bytes of a block not yet complete
    uint64_t pending_bytes; // below 64
    uint64_t total_bytes;
};

Sha256 sha256_start();
void sha256_add(Sha256& hash, const uint8_t* bytes, uint64_t count);
Sha256Digest sha256_finish(Sha256& hash);

// Equal digests, compared in full whatever the first difference.
bool same_digest(const Sha256Digest& a, const Sha256Digest& b);
