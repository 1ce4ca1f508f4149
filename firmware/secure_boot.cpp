#include "firmware/secure_boot.h"

#include "uefi/loader_globals.h"

namespace {

constexpr CHAR16 kSecureBootName[] = {'S', 'e', 'c', 'u', 'r', 'e', 'B', 'o', 'o', 't', 0};

} // namespace

bool secure_boot_enabled() {
    const EFI_RUNTIME_SERVICES* runtime = loader_system_table()->RuntimeServices;
    if (runtime == nullptr || runtime->GetVariable == nullptr) {
        return false;
    }
    uint8_t value = 0;
    UINTN size = sizeof(value);
    const EFI_STATUS status =
        runtime->GetVariable(kSecureBootName, &EFI_GLOBAL_VARIABLE, nullptr, &size, &value);
    return status == EFI_SUCCESS && size == sizeof(value) && value == 1;
}
