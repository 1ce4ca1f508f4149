#include "region_checks.h"

#include "report.h"

/* Shown in details, at most this many entries per failure. */
#define DETAIL_ENTRIES 4

uint32_t readable_region_count(const struct quillmor_handoff* record) {
    return record->region_count <= QUILLMOR_MAX_REGIONS ? record->region_count
                                                        : QUILLMOR_MAX_REGIONS;
}

uint64_t region_end(const struct quillmor_region* region) {
    uint64_t end = region->base + region->length;
    return end < region->base ? UINT64_MAX : end;
}

static bool ranges_overlap(uint64_t base_a, uint64_t end_a, uint64_t base_b, uint64_t end_b) {
    return base_a < end_b && base_b < end_a;
}

static void write_region(const struct quillmor_handoff* record, uint32_t index) {
    const struct quillmor_region* region = &record->regions[index];
    write_field_dec("index", index);
    write_field_hex("base", region->base);
    write_field_hex("length", region->length);
    write_field_dec("type", region->type);
}

void check_region_template(const struct quillmor_handoff* record) {
    if (record->region_count > QUILLMOR_MAX_REGIONS) {
        check_fail_begin("region-template");
        write_field_dec("count", record->region_count);
        serial_write(" exceeds the table");
        line_end();
        return;
    }
    for (uint32_t i = record->region_count; i < QUILLMOR_MAX_REGIONS; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->base != 0 || region->length != 0 || region->type != QUILLMOR_REGION_RESERVED ||
            region->zero != 0) {
            check_fail_begin("region-template");
            serial_write(" unused entry");
            write_region(record, i);
            write_field_hex("zero", region->zero);
            line_end();
            return;
        }
    }
    check_pass("region-template");
}

void check_region_entries(const struct quillmor_handoff* record) {
    uint32_t count = readable_region_count(record);
    uint32_t bad = 0;
    uint32_t first_bad = 0;
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->zero != 0 || region->length == 0 ||
            region->type > QUILLMOR_REGION_KERNEL_AND_MODULES ||
            region->base + region->length < region->base) {
            if (bad == 0) {
                first_bad = i;
            }
            bad++;
        }
    }
    if (bad != 0) {
        check_fail_begin("region-entries");
        write_field_dec("bad", bad);
        write_region(record, first_bad);
        write_field_hex("zero", record->regions[first_bad].zero);
        line_end();
        return;
    }
    check_pass("region-entries");
}

void check_region_overlap(const struct quillmor_handoff* record) {
    uint32_t count = readable_region_count(record);
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* usable = &record->regions[i];
        if (usable->type != QUILLMOR_REGION_USABLE) {
            continue;
        }
        for (uint32_t j = 0; j < count; j++) {
            const struct quillmor_region* other = &record->regions[j];
            bool relevant = (other->type == QUILLMOR_REGION_USABLE && j > i) ||
                            other->type == QUILLMOR_REGION_KERNEL_AND_MODULES;
            if (relevant &&
                ranges_overlap(usable->base, region_end(usable), other->base, region_end(other))) {
                check_fail_begin("region-overlap");
                write_region(record, i);
                serial_write(" overlaps");
                write_region(record, j);
                line_end();
                return;
            }
        }
    }
    check_pass("region-overlap");
}

void check_region_merged(const struct quillmor_handoff* record) {
    uint32_t count = readable_region_count(record);
    for (uint32_t i = 1; i < count; i++) {
        const struct quillmor_region* previous = &record->regions[i - 1];
        const struct quillmor_region* current = &record->regions[i];
        if (previous->type == current->type && region_end(previous) == current->base) {
            check_fail_begin("region-merged");
            write_region(record, i - 1);
            serial_write(" touches");
            write_region(record, i);
            line_end();
            return;
        }
    }
    check_pass("region-merged");
}

static bool has_kernel_entry(const struct quillmor_handoff* record, uint64_t base,
                             uint64_t length) {
    uint32_t count = readable_region_count(record);
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->type == QUILLMOR_REGION_KERNEL_AND_MODULES && region->base == base &&
            region->length == length) {
            return true;
        }
    }
    return false;
}

void check_region_carved(const struct quillmor_handoff* record, const char* name, uint64_t base,
                         uint64_t length, uint64_t other_base, uint64_t other_length) {
    if (length != 0 && base + length > base) {
        if (has_kernel_entry(record, base, length)) {
            check_pass(name);
            return;
        }
        uint64_t end = base + length;
        uint64_t other_end = other_base + other_length;
        if (other_length != 0 && other_end > other_base) {
            if (end == other_base && has_kernel_entry(record, base, other_end - base)) {
                check_pass(name);
                return;
            }
            if (other_end == base && has_kernel_entry(record, other_base, end - other_base)) {
                check_pass(name);
                return;
            }
        }
    }
    check_fail_begin(name);
    serial_write(" no KernelAndModules entry");
    write_field_hex("base", base);
    write_field_hex("length", length);
    /* Show what covers the range instead, to tell a missing carve from a
       misplaced one. */
    uint32_t count = readable_region_count(record);
    uint32_t shown = 0;
    for (uint32_t i = 0; i < count && shown < DETAIL_ENTRIES; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (ranges_overlap(base, base + length, region->base, region_end(region))) {
            serial_write(";");
            write_region(record, i);
            shown++;
        }
    }
    line_end();
}

void usable_index_build(const struct quillmor_handoff* record, struct usable_index* index) {
    uint32_t count = readable_region_count(record);
    index->count = 0;
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->type != QUILLMOR_REGION_USABLE || region->length == 0) {
            continue;
        }
        /* Insertion sort by base: at most 512 entries, once per boot. */
        uint64_t base = region->base;
        uint64_t end = region_end(region);
        uint32_t at = index->count;
        while (at > 0 && index->base[at - 1] > base) {
            index->base[at] = index->base[at - 1];
            index->end[at] = index->end[at - 1];
            at--;
        }
        index->base[at] = base;
        index->end[at] = end;
        index->count++;
    }
    uint64_t running = 0;
    for (uint32_t i = 0; i < index->count; i++) {
        if (index->end[i] > running) {
            running = index->end[i];
        }
        index->max_end[i] = running;
    }
}

bool usable_index_overlaps(const struct usable_index* index, uint64_t base, uint64_t end) {
    if (base >= end) {
        return false;
    }
    /* The entries that start before `end` form a prefix; one of them reaches
       past `base` exactly when the largest end among them does. */
    uint32_t low = 0;
    uint32_t high = index->count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (index->base[middle] < end) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low > 0 && index->max_end[low - 1] > base;
}

void check_range_not_usable(const struct quillmor_handoff* record, const struct usable_index* index,
                            const char* name, uint64_t base, uint64_t length) {
    uint64_t end = base + length < base ? UINT64_MAX : base + length;
    if (!usable_index_overlaps(index, base, end)) {
        check_pass(name);
        return;
    }
    check_fail_begin(name);
    write_field_hex("base", base);
    write_field_hex("length", length);
    serial_write(" lies in");
    uint32_t count = readable_region_count(record);
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->type == QUILLMOR_REGION_USABLE &&
            ranges_overlap(base, end, region->base, region_end(region))) {
            write_region(record, i);
            break;
        }
    }
    line_end();
}
