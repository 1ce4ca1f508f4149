#include "tools/quillmor-seal/seal_files.h"

#include "crypto/sha256.h"

#include <cstring>

namespace {

void digest_into(const std::vector<uint8_t>& file, uint8_t (&digest)[32]) {
    Sha256 hash = sha256_start();
    sha256_add(hash, file.data(), file.size());
    std::memcpy(digest, sha256_finish(hash).bytes, sizeof(digest));
}

} // namespace

QuillmorSeal seal_files(const std::vector<uint8_t>& kernel, const std::vector<uint8_t>& ramdisk,
                        const std::vector<uint8_t>* command_line) {
    QuillmorSeal seal = {};
    std::memcpy(seal.magic, kSealMagic, sizeof(seal.magic));
    seal.version = kSealVersion;
    seal.flags = kSealKernel | kSealRamdisk;
    digest_into(kernel, seal.kernel_sha256);
    digest_into(ramdisk, seal.ramdisk_sha256);
    if (command_line != nullptr) {
        seal.flags |= kSealCommandLine;
        digest_into(*command_line, seal.command_line_sha256);
    }
    return seal;
}
