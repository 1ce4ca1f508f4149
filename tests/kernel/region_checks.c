#include "region_checks.h"

#include "page_walk.h"
#include "report.h"

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

void check_region_pages(const struct quillmor_handoff* record) {
    uint32_t count = readable_region_count(record);
    for (uint32_t i = 0; i < count; i++) {
        const struct quillmor_region* region = &record->regions[i];
        if (region->base % PAGE_SIZE != 0 || region->length % PAGE_SIZE != 0) {
            check_fail_begin("region-page-aligned");
            write_region(record, i);
            line_end();
            return;
        }
    }
    check_pass("region-page-aligned");
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
