// The two values the firmware hands the entry point. Every firmware call the
// loader makes starts from them.
#pragma once

#include "uefi/uefi.h"

// Stored once, as the very first action of the entry point.
void set_loader_globals(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table);

EFI_HANDLE loader_image_handle();
EFI_SYSTEM_TABLE* loader_system_table();

// The system table's boot services as they are now, or null once they are
// gone. Read anew on every call: firmware may clear the pointer.
EFI_BOOT_SERVICES* current_boot_services();
