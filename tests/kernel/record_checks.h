/* Checks on the handoff record's scalar fields, module and processor tables. */
#ifndef KTEST_RECORD_CHECKS_H
#define KTEST_RECORD_CHECKS_H

#include <stdbool.h>
#include <stdint.h>

#include <quillmor/handoff.h>

#include "page_walk.h"

/* record-pointer: RDI is a direct-map address whose pages translate to
   RDI - offset. Only then may the record be read; the physical address is
   derived from RDI. */
bool check_record_pointer(uint64_t rdi, const struct page_walk* walk, uint64_t* record_physical);

void check_boot_processor(const struct quillmor_handoff* record);
void check_module_entry(const struct quillmor_handoff* record);
void check_acpi_rsdp(const struct quillmor_handoff* record, const struct page_walk* walk);
void check_framebuffer_fields(const struct quillmor_handoff* record);

/* module-mapped, then the "ramdisk-fnv1a64" info line over the module's bytes
   read through its direct-map address. */
void check_ramdisk_contents(const struct quillmor_handoff* record, const struct page_walk* walk);

void report_kernel_info(const struct quillmor_handoff* record);
void report_framebuffer_info(const struct quillmor_handoff* record);

/* The boot processor's APIC identity as the processor reports it: the x2APIC
   ID of CPUID leaf 0x0B when that leaf exists, else the initial APIC ID of
   leaf 1; `leaf` says which. */
uint32_t boot_processor_identity(uint32_t* leaf);

/* The ramdisk as the module table gives it, or false when there is none
   usable (count 0, or an address outside the direct map). */
bool ramdisk_physical_range(const struct quillmor_handoff* record, uint64_t* base,
                            uint64_t* length);

#endif
