#include "crypto/sha256.h"

#include "diag/checked.h"

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t load_be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One round; the caller rotates the roles of the eight working variables
// instead of moving them, so each round is only its own arithmetic.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, k, w)                                                 \
    do {                                                                                           \
        const uint32_t t1 =                                                                        \
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + (k) + (w);        \
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));  \
        d += t1;                                                                                   \
        h = t1 + t2;                                                                               \
    } while (0)

// The message schedule kept as a ring of 16 words.
#define SHA256_NEXT(w, i)                                                                          \
    (w[(i)&15] +=                                                                                  \
     (rotr(w[((i) + 14) & 15], 17) ^ rotr(w[((i) + 14) & 15], 19) ^ (w[((i) + 14) & 15] >> 10)) +  \
     w[((i) + 9) & 15] +                                                                           \
     (rotr(w[((i) + 1) & 15], 7) ^ rotr(w[((i) + 1) & 15], 18) ^ (w[((i) + 1) & 15] >> 3)))

void compress(uint32_t state[8], const uint8_t* block) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
        w[i] = load_be32(block + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    // Sixteen rounds per step, so that every schedule index is a constant.
    {
        constexpr int i = 0;
        SHA256_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[i + 0], w[0]);
        SHA256_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[i + 1], w[1]);
        SHA256_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[i + 2], w[2]);
        SHA256_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[i + 3], w[3]);
        SHA256_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[i + 4], w[4]);
        SHA256_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[i + 5], w[5]);
        SHA256_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[i + 6], w[6]);
        SHA256_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[i + 7], w[7]);
        SHA256_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[i + 8], w[8]);
        SHA256_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[i + 9], w[9]);
        SHA256_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[i + 10], w[10]);
        SHA256_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[i + 11], w[11]);
        SHA256_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[i + 12], w[12]);
        SHA256_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[i + 13], w[13]);
        SHA256_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[i + 14], w[14]);
        SHA256_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[i + 15], w[15]);
    }
    for (int i = 16; i < 64; i += 16) {
        SHA256_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[i + 0], SHA256_NEXT(w, 0));
        SHA256_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[i + 1], SHA256_NEXT(w, 1));
        SHA256_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[i + 2], SHA256_NEXT(w, 2));
        SHA256_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[i + 3], SHA256_NEXT(w, 3));
        SHA256_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[i + 4], SHA256_NEXT(w, 4));
        SHA256_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[i + 5], SHA256_NEXT(w, 5));
        SHA256_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[i + 6], SHA256_NEXT(w, 6));
        SHA256_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[i + 7], SHA256_NEXT(w, 7));
        SHA256_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[i + 8], SHA256_NEXT(w, 8));
        SHA256_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[i + 9], SHA256_NEXT(w, 9));
        SHA256_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[i + 10], SHA256_NEXT(w, 10));
        SHA256_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[i + 11], SHA256_NEXT(w, 11));
        SHA256_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[i + 12], SHA256_NEXT(w, 12));
        SHA256_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[i + 13], SHA256_NEXT(w, 13));
        SHA256_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[i + 14], SHA256_NEXT(w, 14));
        SHA256_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[i + 15], SHA256_NEXT(w, 15));
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

} // namespace

Sha256 sha256_start() {
    return {{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
             0x5be0cd19},
            {},
            0,
            0};
}

void sha256_add(Sha256& hash, const uint8_t* bytes, uint64_t count) {
    hash.total_bytes = checked_add(hash.total_bytes, count);
    uint64_t used = 0;
    if (hash.pending_bytes != 0) {
        while (used < count && hash.pending_bytes < 64) {
            hash.pending[hash.pending_bytes++] = bytes[used++];
        }
        if (hash.pending_bytes < 64) {
            return;
        }
        compress(hash.state, hash.pending);
        hash.pending_bytes = 0;
    }
    // Whole blocks straight from the caller's buffer: `count - used` cannot
    // wrap, and each step leaves at least 64 bytes behind it.
    for (; count - used >= 64; used += 64) {
        compress(hash.state, bytes + used);
    }
    while (used < count) {
        hash.pending[hash.pending_bytes++] = bytes[used++];
    }
}

Sha256Digest sha256_finish(Sha256& hash) {
    const uint64_t bit_length = checked_mul(hash.total_bytes, 8);
    hash.pending[hash.pending_bytes++] = 0x80;
    if (hash.pending_bytes > 56) {
        while (hash.pending_bytes < 64) {
            hash.pending[hash.pending_bytes++] = 0;
        }
        compress(hash.state, hash.pending);
        hash.pending_bytes = 0;
    }
    while (hash.pending_bytes < 56) {
        hash.pending[hash.pending_bytes++] = 0;
    }
    store_be32(hash.pending + 56, static_cast<uint32_t>(bit_length >> 32));
    store_be32(hash.pending + 60, static_cast<uint32_t>(bit_length));
    compress(hash.state, hash.pending);
    Sha256Digest digest;
    for (int i = 0; i < 8; ++i) {
        store_be32(digest.bytes + 4 * i, hash.state[i]);
    }
    return digest;
}

bool same_digest(const Sha256Digest& a, const Sha256Digest& b) {
    uint8_t difference = 0;
    for (uint64_t i = 0; i < kSha256DigestBytes; ++i) {
        difference |= static_cast<uint8_t>(a.bytes[i] ^ b.bytes[i]);
    }
    return difference == 0;
}
