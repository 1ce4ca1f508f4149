// The image entry point the firmware calls.
#include "boot/boot_sequence.h"

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table) {
    run_boot_sequence(image_handle, system_table);
}
