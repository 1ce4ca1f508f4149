// What the processor itself still uses when the kernel's first instruction
// runs, which the memory map cannot tell: the firmware's GDT and IDT (OVMF
// keeps them in runtime-services data, U-Boot's GDT lies in ROM outside every
// map descriptor), the local APIC's registers (OVMF's exception handler reads
// the APIC ID there before it reports anything) and five-level paging, when
// the firmware left it on.
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
    IdentityRange local_apic;           // the page at IA32_APIC_BASE; empty without an APIC
    bool five_level_paging;             // CR4.LA57
};

// Read from the processor; the loader changes none of it before the jump.
ProcessorView read_processor_view();

// The bytes under a descriptor-table register, [base, base + limit + 1).
// Empty for a table that does not lie below 2^47: it has no identity address.
IdentityRange descriptor_table_range(arch::DescriptorTableRegister table);

// Identity mappings of the pages under the GDT and the IDT and of the local
// APIC's page, whatever the memory map says of them: an exception taken
// before the kernel loads its own tables goes through them.
bool map_processor_pages(PageTableBuilder& builder, const ProcessorView& view);

// With CR4.LA57 set, CR3 holds a fifth-level table. Its first entry (the
// lower half) leads to a four-level table with the builder's entries 0-255
// only, its last (the upper half) to one with entries 256-511 only, so that
// every address below 2^47 and from 0xffff800000000000 keeps its meaning and
// no other address is mapped: one table under both entries would repeat the
// halves at 0x0000800000000000 and 0xffff000000000000. The builder's root
// stays as it is. Three pages from the builder's page source; returns the
// fifth-level table's address, or 0 when a page could not be had
// (out_of_pages set).
constexpr uint64_t kFiveLevelTablePages = 3;
uint64_t add_five_level_root(PageTableBuilder& builder);
