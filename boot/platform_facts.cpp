#include "boot/platform_facts.h"

#include "arch/arch.h"
#include "diag/checked.h"
#include "firmware/file_reader.h"

namespace {

constexpr uint32_t kCpuidMaxBasicLeaf = 0x00;
constexpr uint32_t kCpuidFeatures = 0x01;
constexpr uint32_t kCpuidExtendedTopology = 0x0B;

void write_text(char* field, Text text) {
    for (uint64_t i = 0; i < text.length; ++i) {
        field[i] = text.bytes[i];
    }
}

} // namespace

void set_loader_identity(quillmor_handoff& record) {
    static_assert(sizeof(record.loader_name) > kLoaderName.length);
    static_assert(sizeof(record.loader_version) > kLoaderVersion.length);
    write_text(record.loader_name, kLoaderName);
    record.loader_name[kLoaderName.length] = '\0';
    write_text(record.loader_version, kLoaderVersion);
    record.loader_version[kLoaderVersion.length] = '\0';
}

uint32_t boot_processor_id() {
    // Leaf 0x0B reports the full 32-bit x2APIC ID in EDX; a processor that
    // lists the leaf but does not implement it answers EBX[15:0] = 0.
    if (arch::cpuid(kCpuidMaxBasicLeaf, 0).eax >= kCpuidExtendedTopology) {
        const arch::CpuidResult topology = arch::cpuid(kCpuidExtendedTopology, 0);
        if ((topology.ebx & 0xFFFF) != 0) {
            return topology.edx;
        }
    }
    return arch::cpuid(kCpuidFeatures, 0).ebx >> 24;
}

bool add_boot_processor(quillmor_handoff& record) {
    const uint32_t id = boot_processor_id();
    record.boot_processor_id = id;
    if (record.processor_count >= QUILLMOR_MAX_PROCESSORS) {
        return false;
    }
    record.processors[record.processor_count] = {id, QUILLMOR_PROCESSOR_BOOT};
    record.processor_count += 1;
    return true;
}

bool add_ramdisk_module(quillmor_handoff& record, uint64_t address, uint64_t length) {
    if (record.module_count >= QUILLMOR_MAX_MODULES) {
        return false;
    }
    quillmor_module entry = {};
    entry.address = address;
    entry.length = length;
    static_assert(sizeof(entry.name) > kRamdiskModuleName.length);
    static_assert(sizeof(entry.path) > kRamdiskPath.text().length);
    write_text(entry.name, kRamdiskModuleName);
    write_text(entry.path, kRamdiskPath.text());
    record.modules[record.module_count] = entry;
    record.module_count += 1;
    return true;
}

uint64_t find_vendor_table(const EFI_SYSTEM_TABLE* system_table, const EFI_GUID& guid) {
    const EFI_CONFIGURATION_TABLE* tables = system_table->ConfigurationTable;
    if (tables == nullptr) {
        return 0;
    }
    for (uint64_t i = 0; i < system_table->NumberOfTableEntries; ++i) {
        if (tables[i].VendorGuid == guid) {
            return address_of(tables[i].VendorTable);
        }
    }
    return 0;
}

uint64_t find_acpi_root(const EFI_SYSTEM_TABLE* system_table) {
    return find_vendor_table(system_table, EFI_ACPI_20_TABLE_GUID);
}
