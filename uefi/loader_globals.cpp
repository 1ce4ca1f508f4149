#include "uefi/loader_globals.h"

namespace {

struct LoaderGlobals {
    EFI_HANDLE image_handle;
    EFI_SYSTEM_TABLE* system_table;
    bool exit_boot_services_called;
};

constinit LoaderGlobals globals = {nullptr, nullptr, false};

} // namespace

void set_loader_globals(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table) {
    globals.image_handle = image_handle;
    globals.system_table = system_table;
    globals.exit_boot_services_called = false;
}

void note_exit_boot_services_called() {
    globals.exit_boot_services_called = true;
}

bool exit_boot_services_called() {
    return globals.exit_boot_services_called;
}

EFI_HANDLE loader_image_handle() {
    return globals.image_handle;
}

EFI_SYSTEM_TABLE* loader_system_table() {
    return globals.system_table;
}

EFI_BOOT_SERVICES* current_boot_services() {
    EFI_SYSTEM_TABLE* system_table = globals.system_table;
    return system_table == nullptr ? nullptr : system_table->BootServices;
}
