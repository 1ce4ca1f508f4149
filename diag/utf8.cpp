#include "diag/utf8.h"

namespace {

struct Decoded {
    uint32_t code_point;
    uint64_t byte_count; // 0 when the sequence at this position is invalid
};

bool is_continuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

Decoded decode_one(const uint8_t* bytes, uint64_t available) {
    constexpr Decoded kInvalid = {0, 0};
    const uint8_t lead = bytes[0];
    uint64_t count;
    uint32_t code_point;
    uint32_t smallest; // below this the encoding is overlong
    if (lead < 0x80) {
        return {lead, 1};
    } else if ((lead & 0xE0) == 0xC0) {
        count = 2;
        code_point = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 3;
        code_point = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 4;
        code_point = lead & 0x07;
        smallest = 0x10000;
    } else {
        return kInvalid; // a stray continuation byte or 0xF8..0xFF
    }
    if (count > available) {
        return kInvalid;
    }
    for (uint64_t i = 1; i < count; ++i) {
        if (!is_continuation(bytes[i])) {
            return kInvalid;
        }
        code_point = (code_point << 6) | (bytes[i] & 0x3F);
    }
    if (code_point < smallest || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
        return kInvalid;
    }
    return {code_point, count};
}

uint64_t units_for(uint32_t code_point) {
    return code_point >= 0x10000 ? 2 : 1;
}

} // namespace

bool utf8_valid(const char* text, uint64_t length) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    for (uint64_t at = 0; at < length;) {
        const Decoded decoded = decode_one(bytes + at, length - at);
        if (decoded.byte_count == 0) {
            return false;
        }
        at += decoded.byte_count;
    }
    return true;
}

uint64_t utf8_to_ucs2(const char* text, uint64_t length, uint16_t* out, uint64_t capacity) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    if (!utf8_valid(text, length)) {
        return 0;
    }

    uint64_t written = 0;
    for (uint64_t at = 0; at < length;) {
        const Decoded decoded = decode_one(bytes + at, length - at);
        if (written + units_for(decoded.code_point) > capacity) {
            break;
        }
        if (decoded.code_point >= 0x10000) {
            const uint32_t offset = decoded.code_point - 0x10000;
            out[written++] = static_cast<uint16_t>(0xD800 + (offset >> 10));
            out[written++] = static_cast<uint16_t>(0xDC00 + (offset & 0x3FF));
        } else {
            out[written++] = static_cast<uint16_t>(decoded.code_point);
        }
        at += decoded.byte_count;
    }
    return written;
}
