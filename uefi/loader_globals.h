// The two values the firmware hands the entry point. Every firmware call the
// loader makes starts from them.
#pragma once

#include "uefi/uefi.h"

// Stored once, as the very first action of the entry point.
void set_loader_globals(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table);

EFI_HANDLE loader_image_handle();
EFI_SYSTEM_TABLE* loader_system_table();

// From the first ExitBootServices call on, whatever its outcome, the UEFI
// specification leaves only GetMemoryMap and ExitBootServices to the loader:
// every stop must then get by with the serial port.
void note_exit_boot_services_called();
bool exit_boot_services_called();

// The system table's boot services as they are now, or null once they are
// gone. Read anew on every call: firmware may clear the pointer.
EFI_BOOT_SERVICES* current_boot_services();
