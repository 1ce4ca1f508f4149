/* Checks on the page tables the kernel started on, walked in software. */
#ifndef KTEST_MAPPING_CHECKS_H
#define KTEST_MAPPING_CHECKS_H

#include <stdbool.h>
#include <stdint.h>

#include <quillmor/handoff.h>

#include "page_walk.h"
#include "region_checks.h"

/* cr3-flags: CR3 holds the root's address and no flag or PCID bits. */
bool check_cr3(uint64_t cr3);

/* identity-map and direct-map: every page of every Usable, BootReclaimable,
   AcpiReclaimable, AcpiNvs and KernelAndModules region is mapped at its
   physical address and at offset + physical address. */
void check_region_mappings(const struct quillmor_handoff* record, const struct page_walk* walk);

/* kernel-map: every page of the image translates from its link address to
   the landing area. */
void check_kernel_mapping(const struct quillmor_handoff* record, const struct page_walk* walk);

/* framebuffer-map, then framebuffer-write when the mapping holds; nothing
   when there is no framebuffer. */
void check_framebuffer_mapping(const struct quillmor_handoff* record, const struct page_walk* walk);

/* table-format over every upper-level entry, the "table-pages" info line and
   tables-not-usable. */
void check_table_tree(const struct page_walk* walk, const struct usable_index* usable);

/* five-level-root, under CR4.LA57 only: the root's entry 0 leads to a
   level-4 table with the lower half only (entries 0-255), entry 511 to
   another with the upper half only (256-511), and no other entry is used, so
   no address between the halves reaches the direct map or the kernel. */
void check_five_level_root(const struct page_walk* walk);

/* gdt-identity and idt-identity: every page of the descriptor tables that the
   firmware left loaded is mapped at its own address; apic-identity: so is
   the local APIC's page (IA32_APIC_BASE), which the firmware's exception
   handler reads. */
void check_descriptor_tables(const struct page_walk* walk);

#endif
