#include "mm/region_table.h"

#include "diag/checked.h"
#include "firmware/page_ledger.h"

namespace {

constinit CarveTable loader_carve_table;

// Firmware types 3 to 12 in order; any other type is Reserved.
constexpr uint32_t kFirstTranslatedType = 3;
constexpr RegionType kTypeTranslation[] = {
    BootReclaimable, // EfiBootServicesCode
    BootReclaimable, // EfiBootServicesData
    Reserved,        // EfiRuntimeServicesCode
    Reserved,        // EfiRuntimeServicesData
    Usable,          // EfiConventionalMemory
    BadMemory,       // EfiUnusableMemory
    AcpiReclaimable, // EfiACPIReclaimMemory
    AcpiNvs,         // EfiACPIMemoryNVS
    Mmio,            // EfiMemoryMappedIO
    Mmio,            // EfiMemoryMappedIOPortSpace
};
constexpr uint64_t kTranslatedTypes = sizeof(kTypeTranslation) / sizeof(kTypeTranslation[0]);

struct Piece {
    uint64_t start;
    uint64_t end;
    RegionType type;
};

// Scratch for the pieces of one range, reused by every call: no memory may be
// obtained while the region table is built.
constexpr uint64_t kMaxPieces = 4096;
constinit Piece pieces[kMaxPieces] = {};

uint64_t end_of(uint64_t base, uint64_t length) {
    return checked_add(base, length);
}

// Writes one entry, or extends the last one when it has the same type and
// ends where this one starts.
bool emit(quillmor_handoff& record, uint64_t base, uint64_t length, RegionType type) {
    const uint64_t count = record.region_count;
    check_index(count, QUILLMOR_MAX_REGIONS + 1);
    if (count != 0) {
        quillmor_region& last = record.regions[count - 1];
        if (last.type == type && end_of(last.base, last.length) == base) {
            last.length = checked_add(last.length, length);
            return true;
        }
    }
    if (count == QUILLMOR_MAX_REGIONS) {
        return false;
    }
    record.regions[count] = {base, length, type, 0};
    record.region_count = static_cast<uint32_t>(count + 1);
    return true;
}

// Inserts after every piece that starts at or before it, so pieces with the
// same start keep carve-table order.
void insert_piece(uint64_t& count, const Piece& piece) {
    uint64_t at = count;
    while (at != 0 && pieces[at - 1].start > piece.start) {
        pieces[at] = pieces[at - 1];
        --at;
    }
    pieces[at] = piece;
    ++count;
}

} // namespace

bool CarveTable::add(uint64_t base, uint64_t length, RegionType type) {
    if (count_ == kCapacity) {
        return false;
    }
    ranges_[count_] = {base, length};
    types_[count_] = type;
    ++count_;
    return true;
}

CarveTable& carve_table() {
    return loader_carve_table;
}

RegionType region_type_for(uint32_t firmware_type) {
    if (firmware_type < kFirstTranslatedType ||
        firmware_type - kFirstTranslatedType >= kTranslatedTypes) {
        return Reserved;
    }
    return kTypeTranslation[firmware_type - kFirstTranslatedType];
}

bool add_region(quillmor_handoff& record, uint64_t base, uint64_t length, RegionType type) {
    const uint64_t end = end_of(base, length);
    const CarveTable& carved = carve_table();
    uint64_t piece_count = 0;
    for (uint64_t i = 0; i < carved.count(); ++i) {
        const uint64_t carve_start = carved.base(i);
        const uint64_t carve_end = end_of(carve_start, carved.length(i));
        if (carve_end <= base || end <= carve_start) {
            continue;
        }
        if (piece_count == kMaxPieces) {
            return false;
        }
        const uint64_t start = carve_start > base ? carve_start : base;
        const uint64_t stop = carve_end < end ? carve_end : end;
        if (start < stop) {
            insert_piece(piece_count, {start, stop, carved.type(i)});
        }
    }

    uint64_t cursor = base;
    for (uint64_t i = 0; i < piece_count; ++i) {
        const Piece& piece = pieces[i];
        if (piece.start > cursor && !emit(record, cursor, piece.start - cursor, type)) {
            return false;
        }
        cursor = piece.end;
        if (!emit(record, piece.start, piece.end - piece.start, piece.type)) {
            return false;
        }
    }
    if (end > cursor) {
        return emit(record, cursor, end - cursor, type);
    }
    return true;
}

void merge_regions(quillmor_handoff& record) {
    const uint64_t count = record.region_count;
    check_range(0, count, QUILLMOR_MAX_REGIONS);
    uint64_t out = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const quillmor_region entry = record.regions[i];
        if (out != 0) {
            quillmor_region& previous = record.regions[out - 1];
            if (previous.type == entry.type &&
                end_of(previous.base, previous.length) == entry.base) {
                previous.length = checked_add(previous.length, entry.length);
                continue;
            }
        }
        record.regions[out++] = entry;
    }
    record.region_count = static_cast<uint32_t>(out);
}

bool check_own_pages(const quillmor_handoff& record) {
    const PageLedger& ledger = page_ledger();
    const uint64_t region_count = record.region_count;
    check_range(0, region_count, QUILLMOR_MAX_REGIONS);
    for (uint64_t l = 0; l < ledger.count(); ++l) {
        const uint64_t own_start = ledger[l].base;
        const uint64_t own_end = end_of(own_start, ledger[l].length);
        for (uint64_t r = 0; r < region_count; ++r) {
            const quillmor_region& region = record.regions[r];
            if (region.type != Usable) {
                continue;
            }
            if (own_start < end_of(region.base, region.length) && region.base < own_end) {
                return false;
            }
        }
    }
    return true;
}

void clear_regions(quillmor_handoff& record) {
    for (quillmor_region& region : record.regions) {
        region = kUnusedRegion;
    }
    record.region_count = 0;
}

RegionTableOutcome build_region_table(quillmor_handoff& record, const MemoryMap& map) {
    if (has_descriptors(map)) {
        for (uint64_t index = 0; index < map.descriptor_count; ++index) {
            const MemoryDescriptor descriptor = memory_descriptor(map, index);
            const uint64_t length = pages_to_bytes(descriptor.page_count);
            if (length == 0) {
                continue;
            }
            if (!add_region(record, descriptor.physical_start, length,
                            region_type_for(descriptor.type))) {
                return RegionTableOutcome::TableFull;
            }
        }
    }
    merge_regions(record);
    if (!check_own_pages(record)) {
        return RegionTableOutcome::OwnPageUsable;
    }
    return RegionTableOutcome::Complete;
}
