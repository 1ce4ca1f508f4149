// Small facts about the machine and the loader that go into the record. None
// of these allocates or calls a firmware service.
#pragma once

#include "boot/handoff_record.h"
#include "uefi/uefi.h"

#include <stdint.h>

constexpr Text kLoaderName = "quillmor";
constexpr Text kLoaderVersion = "1.0.0";
constexpr Text kRamdiskModuleName = "initrd";

// Loader name and version, each followed by a NUL.
void set_loader_identity(quillmor_handoff& record);

// The APIC identity of the processor running the loader: the x2APIC ID when
// the processor has the extended topology leaf, else the initial APIC ID.
uint32_t boot_processor_id();

// Writes the boot processor identity, then appends its processor entry.
// False when the processor table is full (the identity is written anyway).
bool add_boot_processor(quillmor_handoff& record);

// Appends the ramdisk's module entry; `address` is already the direct-map
// address. False when the module table is full.
bool add_ramdisk_module(quillmor_handoff& record, uint64_t address, uint64_t length);

// The `VendorTable` of the first configuration-table entry with `guid`, or 0.
uint64_t find_vendor_table(const EFI_SYSTEM_TABLE* system_table, const EFI_GUID& guid);

// The physical address of the ACPI 2.0 root pointer from the firmware's
// configuration table, or 0 when the firmware offers none.
uint64_t find_acpi_root(const EFI_SYSTEM_TABLE* system_table);
