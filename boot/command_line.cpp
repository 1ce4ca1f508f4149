#include "boot/command_line.h"

#include "crypto/sha256.h"
#include "diag/checked.h"
#include "diag/stop.h"
#include "diag/utf8.h"
#include "firmware/file_reader.h"

namespace {

constexpr uint64_t kMaxCommandLineBytes = QUILLMOR_COMMAND_LINE_CAPACITY - 1;

// Firmware memory need not align the UCS-2 units.
uint32_t unit_at(const uint8_t* bytes, uint64_t index) {
    const uint64_t at = checked_mul(index, 2);
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8;
}

bool is_high_surrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

uint64_t utf8_length(uint32_t code_point) {
    return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

void put_utf8(uint32_t code_point, char* out) {
    const uint64_t length = utf8_length(code_point);
    constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (uint64_t i = length - 1; i > 0; --i) {
        out[i] = static_cast<char>(0x80 | (code_point & 0x3F));
        code_point >>= 6;
    }
    out[0] = static_cast<char>(kLead[length] | code_point);
}

bool valid_text(const char* bytes, uint64_t length) {
    for (uint64_t i = 0; i < length; ++i) {
        if (bytes[i] == '\0') {
            return false;
        }
    }
    return utf8_valid(bytes, length);
}

} // namespace

ConvertedOptions load_options_to_utf8(const void* options, uint64_t size_in_bytes, char* out,
                                      uint64_t capacity) {
    const auto* bytes = static_cast<const uint8_t*>(options);
    const uint64_t units = options == nullptr ? 0 : size_in_bytes / 2;
    uint64_t written = 0;
    for (uint64_t i = 0; i < units; ++i) {
        uint32_t code_point = unit_at(bytes, i);
        if (code_point == 0) {
            break;
        }
        if (is_low_surrogate(code_point)) {
            return {OptionsText::Invalid, 0};
        }
        if (is_high_surrogate(code_point)) {
            if (i + 1 >= units || !is_low_surrogate(unit_at(bytes, i + 1))) {
                return {OptionsText::Invalid, 0};
            }
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (unit_at(bytes, i + 1) - 0xDC00);
            ++i;
        }
        const uint64_t end = checked_add(written, utf8_length(code_point));
        if (end > capacity) {
            return {OptionsText::TooLong, 0};
        }
        put_utf8(code_point, out + written);
        written = end;
    }
    return {OptionsText::Converted, written};
}

void load_command_line(quillmor_extension& extension, const EFI_LOADED_IMAGE_PROTOCOL& image,
                       EFI_FILE_PROTOCOL* root, const CommandLineSeal& seal) {
    char* const line = extension.command_line_bytes;
    uint64_t length = 0;
    if (!seal.sealed) {
        const ConvertedOptions options = load_options_to_utf8(
            image.LoadOptions, image.LoadOptionsSize, line, kMaxCommandLineBytes);
        if (options.outcome == OptionsText::TooLong) {
            fatal_stop("命令行过长");
        }
        if (options.outcome == OptionsText::Invalid) {
            fatal_stop("命令行不是有效文本");
        }
        length = options.length;
    }
    if (length == 0) {
        Sha256 hash = sha256_start();
        const SmallFile file =
            read_small_file(root, kCommandLinePath, address_of(line), kMaxCommandLineBytes, &hash);
        if (seal.sealed &&
            (file.present != seal.file_present ||
             (file.present && (!file.fits || !same_digest(sha256_finish(hash), *seal.digest))))) {
            fatal_stop("命令行散列不符");
        }
        if (!file.fits) {
            fatal_stop("命令行过长");
        }
        length = file.present ? file.size : 0;
        if (!valid_text(line, length)) {
            fatal_stop("命令行不是有效文本");
        }
    }
    line[length] = '\0';
    extension.command_line_length = length;
}
