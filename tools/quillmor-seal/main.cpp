// quillmor-seal: writes the SHA-256 digests of a kernel and a ramdisk into a
// loader image's seal, so that the loader runs only those files. Sealing
// changes the image, so it comes before signing:
//
//   quillmor-seal LOADER.efi --kernel KERNEL --initrd RAMDISK [--cmdline FILE] -o SEALED.efi
//   sbsign --key db.key --cert db.pem --output SIGNED.efi SEALED.efi
//
// Exit status: 0 sealed; 1 usage, or a file that cannot be read or written;
// 2 an empty ramdisk; 3 and 10 + n a kernel the loader would refuse (as
// quillmor-check); 5 a loader that cannot be sealed (already signed, or no
// quillmor image with a seal section).
#include "boot/seal_format.h"
#include "tools/quillmor-check/kernel_verdict.h"
#include "tools/quillmor-check/read_whole.h"
#include "tools/quillmor-seal/seal_files.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitBadLoader = 5;

uint64_t field(const std::vector<uint8_t>& image, uint64_t at, uint64_t bytes) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < bytes; ++i) {
        value |= uint64_t{image[at + i]} << (8 * i);
    }
    return value;
}

void put32(std::vector<uint8_t>& image, uint64_t at, uint32_t value) {
    for (uint64_t i = 0; i < 4; ++i) {
        image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Where the PE32+ headers put what sealing touches.
struct PeLayout {
    uint64_t checksum_at;       // the optional header's CheckSum
    uint64_t certificates_size; // the certificate table's size: signed when not 0
    uint64_t seal_at;           // file offset of the .qseal section's bytes
    uint64_t seal_bytes;        // its raw size
};

std::optional<PeLayout> find_layout(const std::vector<uint8_t>& image, std::string& why) {
    const auto fits = [&](uint64_t at, uint64_t bytes) {
        return at <= image.size() && bytes <= image.size() - at;
    };
    if (!fits(0, 64) || image[0] != 'M' || image[1] != 'Z') {
        why = "not a PE image (no MZ header)";
        return std::nullopt;
    }
    const uint64_t pe = field(image, 0x3c, 4);
    if (!fits(pe, 24) || std::memcmp(&image[pe], "PE\0\0", 4) != 0) {
        why = "not a PE image (no PE signature)";
        return std::nullopt;
    }
    const uint64_t sections = field(image, pe + 6, 2), optional_size = field(image, pe + 20, 2);
    const uint64_t optional = pe + 24;
    if (!fits(optional, optional_size) || optional_size < 112 + 5 * 8 ||
        field(image, optional, 2) != 0x20b || field(image, optional + 108, 4) < 5) {
        why = "not a PE32+ image with a certificate table entry";
        return std::nullopt;
    }
    PeLayout layout = {optional + 64, field(image, optional + 112 + 4 * 8 + 4, 4), 0, 0};
    const uint64_t table = optional + optional_size;
    if (!fits(table, sections * 40)) {
        why = "the section table runs past the end of the file";
        return std::nullopt;
    }
    for (uint64_t i = 0; i < sections; ++i) {
        const uint64_t header = table + 40 * i;
        if (std::memcmp(&image[header], ".qseal\0\0", 8) == 0) {
            layout.seal_bytes = field(image, header + 16, 4);
            layout.seal_at = field(image, header + 20, 4);
        }
    }
    if (layout.seal_bytes < kSealSectionBytes || !fits(layout.seal_at, kSealSectionBytes)) {
        why = "no .qseal section of 4096 bytes: not a quillmor loader image";
        return std::nullopt;
    }
    return layout;
}

// The PE checksum: the file's 16-bit words (the CheckSum field as 0) summed
// with end-around carry, plus the file's length.
uint32_t pe_checksum(const std::vector<uint8_t>& image, uint64_t checksum_at) {
    uint64_t sum = 0;
    for (uint64_t at = 0; at < image.size(); at += 2) {
        if (at == checksum_at || at == checksum_at + 2) {
            continue;
        }
        sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

int usage() {
    std::fprintf(
        stderr, "usage: quillmor-seal LOADER.efi --kernel KERNEL --initrd RAMDISK [--cmdline FILE] "
                "-o SEALED.efi\n"
                "  --cmdline: the \\boot\\cmdline.txt the volume will hold; without it, the "
                "sealed loader refuses a volume that has one\n");
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    const char *loader_path = nullptr, *kernel_path = nullptr, *ramdisk_path = nullptr,
               *command_line_path = nullptr, *output_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--kernel") == 0 && has_value) {
            kernel_path = argv[++i];
        } else if (std::strcmp(argv[i], "--initrd") == 0 && has_value) {
            ramdisk_path = argv[++i];
        } else if (std::strcmp(argv[i], "--cmdline") == 0 && has_value) {
            command_line_path = argv[++i];
        } else if (std::strcmp(argv[i], "-o") == 0 && has_value) {
            output_path = argv[++i];
        } else if (argv[i][0] == '-' || loader_path != nullptr) {
            return usage();
        } else {
            loader_path = argv[i];
        }
    }
    if (!loader_path || !kernel_path || !ramdisk_path || !output_path) {
        return usage();
    }
    // Each file read once, all of them before anything is judged.
    std::optional<std::vector<uint8_t>> files[4];
    const char* const paths[4] = {loader_path, kernel_path, ramdisk_path, command_line_path};
    for (int i = 0; i < 4; ++i) {
        if (paths[i] != nullptr && !(files[i] = read_whole(paths[i]))) {
            std::fprintf(stderr, "quillmor-seal: cannot read %s\n", paths[i]);
            return kExitUsage;
        }
    }
    std::vector<uint8_t>& image = *files[0];
    std::string why;
    const auto layout = find_layout(image, why);
    if (!layout) {
        std::fprintf(stderr, "quillmor-seal: %s: %s\n", loader_path, why.c_str());
        return kExitBadLoader;
    }
    if (layout->certificates_size != 0) {
        std::fprintf(stderr,
                     "quillmor-seal: %s is already signed, and sealing would break its "
                     "signature: seal the unsigned loader first, then sign the sealed one\n",
                     loader_path);
        return kExitBadLoader;
    }
    const std::vector<uint8_t>& kernel = *files[1];
    int refusal = 0;
    if (!judge_kernel(kernel_path, kernel, refusal)) {
        std::fprintf(stderr, "quillmor-seal: the loader would refuse %s; not sealed\n",
                     kernel_path);
        return refusal;
    }
    const std::vector<uint8_t>& ramdisk = *files[2];
    if (ramdisk.empty()) {
        std::fprintf(stderr,
                     "quillmor-seal: %s is empty; the loader stops with: [quillmor] "
                     "装载失败：文件为空\n",
                     ramdisk_path);
        return kExitBadRamdisk;
    }

    const QuillmorSeal seal = seal_files(kernel, ramdisk, files[3] ? &*files[3] : nullptr);
    std::memcpy(&image[layout->seal_at], &seal, sizeof(seal));
    put32(image, layout->checksum_at, pe_checksum(image, layout->checksum_at));

    std::ofstream out(output_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "quillmor-seal: cannot write %s\n", output_path);
        return kExitUsage;
    }
    std::printf("%s: sealed with %s (%zu bytes) and %s (%zu bytes); sign it now\n", output_path,
                kernel_path, kernel.size(), ramdisk_path, ramdisk.size());
    return 0;
}
