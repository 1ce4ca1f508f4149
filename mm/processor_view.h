// What the processor itself still uses when the kernel's first instruction
// runs, which the memory map cannot tell: the firmware's GDT and IDT (OVMF
// keeps them in runtime-services data, U-Boot's GDT lies in ROM outside every
// map descriptor) and five-level paging, when the firmware left it on.
#pragma once

#include "arch/arch.h"
#include "mm/page_table_builder.h"

#include <stdint.h>

struct IdentityRange {
    uint64_t base;
    uint64_t length; // 0: nothing to map
};

struct ProcessorView {
    IdentityRange descriptor_tables[2]; // the GDT and the IDT
    bool five_level_paging;             // CR4.LA57
};

// Read from the processor; the loader changes none of it before the jump.
ProcessorView read_processor_view();

// The bytes under a descriptor-table register, [base, base + limit + 1).
// Empty for a table that does not lie below 2^47: it has no identity address.
IdentityRange descriptor_table_range(arch::DescriptorTableRegister table);

// Identity mappings of the pages under the GDT and the IDT, whatever the
// memory map says of them: an exception taken before the kernel loads its own
// tables goes through them.
bool map_descriptor_tables(PageTableBuilder& builder, const ProcessorView& view);

// With CR4.LA57 set, CR3 holds a fifth-level table. This one, from the
// builder's page source, leads from its first entry (the lower half) and its
// last (the upper half) to the builder's four-level root, so every address
// keeps its meaning. Returns its address, or 0 when no page could be had
// (out_of_pages set).
uint64_t add_five_level_root(PageTableBuilder& builder);
