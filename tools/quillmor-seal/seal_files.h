// The seal for a volume's files, as quillmor-seal writes it into a loader
// image: the kernel's and the ramdisk's digests, and the command-line file's
// when the volume has one (without it the slot stays zero and the flag clear:
// sealed as absent).
#pragma once

#include "boot/seal_format.h"

#include <cstdint>
#include <vector>

QuillmorSeal seal_files(const std::vector<uint8_t>& kernel, const std::vector<uint8_t>& ramdisk,
                        const std::vector<uint8_t>* command_line);
