// The seal in this loader image, and the reading of a file checked against it.
#pragma once

#include "boot/seal_format.h"
#include "crypto/sha256.h"
#include "firmware/file_reader.h"

// The image's own `.qseal` section. Written only by quillmor-seal (and by
// host tests, which play that part).
extern QuillmorSeal quillmor_image_seal;

struct SealedDigests {
    Sha256Digest kernel;
    Sha256Digest ramdisk;
    // Without the command-line flag the seal says the volume has no
    // \boot\cmdline.txt: an absent file is sealed as absent.
    bool command_line_present;
    Sha256Digest command_line;
};

// The digests when the image carries a seal of this version, else false.
// Anything else in the section, from all zero to a seal of another format,
// counts as no seal: under Secure Boot that stops the boot, so no stray byte
// lets unverified files run.
bool read_image_seal(SealedDigests& digests);

struct SealedRead {
    FileContents contents;
    bool matches; // always true when there was nothing to compare with
};

// read_file, hashing the file piece by piece as it arrives when `expected`
// is given. The caller stops on a mismatch, right after the file's line.
SealedRead read_sealed_file(EFI_FILE_PROTOCOL* root, BootFilePath path,
                            const Sha256Digest* expected);
