#include "boot/image_seal.h"

#include "diag/checked.h"

// Initialised (so that the section is in the file, for the tool to fill and
// for Authenticode to cover) and aligned to fill its section exactly. Not
// const and not internal, so that no read of it is folded to the zeros of
// its initialiser: the bytes that count are the ones the tool wrote.
[[gnu::used, gnu::section(".qseal")]] alignas(4096) QuillmorSeal quillmor_image_seal = {};

namespace {

template <uint64_t N> bool equal_bytes(const uint8_t (&a)[N], const uint8_t (&b)[N]) {
    for (uint64_t i = 0; i < N; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool read_image_seal(SealedDigests& digests) {
    const QuillmorSeal& seal = quillmor_image_seal;
    if (!equal_bytes(seal.magic, kSealMagic) || seal.version != kSealVersion ||
        (seal.flags | kSealCommandLine) != kSealFlagsOfThisVersion) {
        return false;
    }
    copy_bytes(digests.kernel.bytes, seal.kernel_sha256, kSha256DigestBytes);
    copy_bytes(digests.ramdisk.bytes, seal.ramdisk_sha256, kSha256DigestBytes);
    digests.command_line_present = (seal.flags & kSealCommandLine) != 0;
    copy_bytes(digests.command_line.bytes, seal.command_line_sha256, kSha256DigestBytes);
    return true;
}

SealedRead read_sealed_file(EFI_FILE_PROTOCOL* root, BootFilePath path,
                            const Sha256Digest* expected) {
    if (expected == nullptr) {
        return {read_file(root, path, nullptr), true};
    }
    Sha256 hash = sha256_start();
    const FileContents contents = read_file(root, path, &hash);
    return {contents, same_digest(sha256_finish(hash), *expected)};
}
