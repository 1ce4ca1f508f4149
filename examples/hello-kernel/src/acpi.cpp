// The ACPI root pointer (RSDP): the record holds its physical address; the
// kernel checks that the structure there is what ACPI says it is before it
// follows the XSDT address inside it.
#include "record.h"
#include "serial.h"
#include "summary.h"

namespace {

// Byte offsets in the RSDP (ACPI 2.0 and later: 36 bytes).
constexpr unsigned kChecksummedV1 = 20; // the ACPI 1.0 part
constexpr unsigned kSizeV2 = 36;
constexpr unsigned kOemIdAt = 9;
constexpr unsigned kRevisionAt = 15;
constexpr unsigned kLengthAt = 20;
constexpr unsigned kXsdtAt = 24;

uint8_t byte_sum(const volatile uint8_t* bytes, unsigned count) {
    uint8_t sum = 0;
    for (unsigned i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

uint64_t read_le(const volatile uint8_t* bytes, unsigned count) {
    uint64_t value = 0;
    for (unsigned i = count; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// The loader maps RAM-like memory in the direct map, ACPI tables included,
// but not MMIO or reserved ranges: read only what lies in such memory.
bool readable_through_direct_map(const quillmor_handoff& record, uint64_t physical,
                                 uint64_t length) {
    const quillmor_region* region = region_containing(record, physical);
    if (region == nullptr || region->length < length ||
        physical - region->base > region->length - length) {
        return false;
    }
    switch (region->type) {
    case QUILLMOR_REGION_USABLE:
    case QUILLMOR_REGION_BOOT_RECLAIMABLE:
    case QUILLMOR_REGION_ACPI_RECLAIMABLE:
    case QUILLMOR_REGION_ACPI_NVS:
        return true;
    default:
        return false;
    }
}

} // namespace

bool print_acpi(const quillmor_handoff& record) {
    const uint64_t rsdp = record.acpi_root_pointer;
    if (rsdp == 0) {
        print("ACPI: no RSDP (the firmware published no ACPI 2.0 table)\r\n");
        return true;
    }
    print("ACPI: RSDP at ", Hex{rsdp});
    if (!readable_through_direct_map(record, rsdp, kSizeV2)) {
        print(", PROBLEM: not in ACPI or RAM regions of the region table, not read\r\n");
        return false;
    }
    const volatile uint8_t* bytes = direct_map(record, rsdp);
    bool signature_ok = true;
    for (unsigned i = 0; i < 8; ++i) {
        signature_ok = signature_ok && bytes[i] == static_cast<uint8_t>("RSD PTR "[i]);
    }
    if (!signature_ok) {
        print(", PROBLEM: the signature is not \"RSD PTR \"\r\n");
        return false;
    }
    const uint8_t revision = bytes[kRevisionAt];
    const uint64_t length = read_le(bytes + kLengthAt, 4);
    // Revision 0 is ACPI 1.0 (20 bytes, RSDT only); 2 and later add the
    // length, the XSDT address and a checksum over all 36 bytes.
    if (revision < 2 || length != kSizeV2) {
        print(", PROBLEM: revision ", revision, " length ", length, ", not an ACPI 2.0 RSDP\r\n");
        return false;
    }
    if (byte_sum(bytes, kChecksummedV1) != 0 || byte_sum(bytes, kSizeV2) != 0) {
        print(", PROBLEM: a checksum does not add up to zero\r\n");
        return false;
    }
    char oem[7] = {};
    for (unsigned i = 0; i < 6; ++i) {
        oem[i] = static_cast<char>(bytes[kOemIdAt + i]);
    }
    print(": signature \"RSD PTR \", revision ", revision, ", checksums ok, OEM \"", oem,
          "\", XSDT at ", Hex{read_le(bytes + kXsdtAt, 8)}, "\r\n");
    return true;
}
