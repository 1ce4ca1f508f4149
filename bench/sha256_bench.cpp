// SHA-256 throughput: the loader's (built with the image's flags, so general
// registers only) beside OpenSSL's in the same run, over a 1 MiB buffer fed
// as the loader feeds a file read in 1 MiB pieces. OpenSSL picks its code by
// the processor's features; run with OPENSSL_ia32cap masking the SHA
// extensions, AVX, AVX2 and SSSE3 (scripts/run-benchmarks.sh does) and it runs
// its integer-only code, the fair comparison for the loader's. The mask in
// force is the benchmark's label.
#include "crypto/sha256.h"

#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPiece = 1 << 20;

std::vector<uint8_t> piece() {
    std::vector<uint8_t> bytes(kPiece);
    for (uint64_t i = 0; i < kPiece; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    }
    return bytes;
}

std::string openssl_mask() {
    const char* mask = std::getenv("OPENSSL_ia32cap");
    return std::string("OPENSSL_ia32cap=") + (mask ? mask : "(unset)");
}

void BM_LoaderSha256(benchmark::State& state) {
    const std::vector<uint8_t> bytes = piece();
    for (auto _ : state) {
        Sha256 hash = sha256_start();
        sha256_add(hash, bytes.data(), bytes.size());
        Sha256Digest digest = sha256_finish(hash);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPiece));
}
BENCHMARK(BM_LoaderSha256)->Unit(benchmark::kMicrosecond);

void BM_OpenSslSha256(benchmark::State& state) {
    const std::vector<uint8_t> bytes = piece();
    state.SetLabel(openssl_mask());
    for (auto _ : state) {
        uint8_t digest[SHA256_DIGEST_LENGTH];
        SHA256(bytes.data(), bytes.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPiece));
}
BENCHMARK(BM_OpenSslSha256)->Unit(benchmark::kMicrosecond);

} // namespace
