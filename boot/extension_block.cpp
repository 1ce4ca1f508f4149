#include "boot/extension_block.h"

#include "boot/platform_facts.h"
#include "diag/checked.h"
#include "mm/direct_map.h"

quillmor_extension& create_extension(quillmor_handoff& record) {
    const uint64_t address = checked_add(address_of(&record), QUILLMOR_EXTENSION_OFFSET);
    auto* extension = pointer_at<quillmor_extension>(address);
    // The rest of the record's pages is as the firmware handed it over.
    const quillmor_extension cleared = {};
    copy_bytes(extension, &cleared, sizeof(cleared));
    constexpr char kMagic[] = QUILLMOR_EXTENSION_MAGIC_TEXT;
    static_assert(sizeof(kMagic) - 1 == sizeof(extension->magic));
    copy_bytes(extension->magic, kMagic, sizeof(extension->magic));
    extension->version = QUILLMOR_EXTENSION_VERSION;
    extension->size = sizeof(quillmor_extension);
    extension->command_line = direct_map_address(address_of(extension->command_line_bytes));
    record.extension = direct_map_address(address);
    return *extension;
}

void record_firmware_tables(quillmor_extension& extension, const EFI_SYSTEM_TABLE* system_table) {
    extension.system_table = address_of(system_table);
    extension.smbios3_entry = find_vendor_table(system_table, SMBIOS3_TABLE_GUID);
    extension.smbios_entry = find_vendor_table(system_table, SMBIOS_TABLE_GUID);
}

void record_exit_map(quillmor_extension& extension, const MemoryMap& map) {
    extension.memory_map = map.descriptors;
    extension.memory_map_size = checked_mul(map.descriptor_count, map.descriptor_size);
    extension.memory_map_descriptor_size = map.descriptor_size;
    extension.memory_map_descriptor_version = map.descriptor_version;
}
