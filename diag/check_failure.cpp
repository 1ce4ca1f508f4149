#include "diag/stop.h"
#include "diag/utf8.h"
#include "uefi/loader_globals.h"

namespace {

// The console text holds the message, CR, LF and a terminating NUL.
constexpr uint64_t kConsoleTextUnits = 1000;
constexpr uint64_t kMaxMessageUnits = kConsoleTextUnits - 3;

void show_on(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* console, const CHAR16* text) {
    if (console == nullptr) {
        return;
    }
    // Statuses are ignored: there is nothing left to report a failure to.
    console->SetAttribute(console, EFI_TEXT_ATTRIBUTE_RED_ON_BLACK);
    console->OutputString(console, text);
    console->SetAttribute(console, EFI_TEXT_ATTRIBUTE_WHITE_ON_BLACK);
}

} // namespace

void check_failed(Text message) {
    // The consoles, the pool and Exit are boot services; once an exit has
    // been tried (and refused) they are forbidden, and returning to a boot
    // manager whose timer is already stopped can hang.
    if (exit_boot_services_called()) {
        fatal_stop(message);
    }
    CHAR16 console_text[kConsoleTextUnits];
    const uint64_t units =
        utf8_to_ucs2(message.bytes, message.length, console_text, kMaxMessageUnits);
    console_text[units] = u'\r';
    console_text[units + 1] = u'\n';
    console_text[units + 2] = 0;

    EFI_SYSTEM_TABLE* system_table = loader_system_table();
    if (system_table != nullptr) {
        show_on(system_table->StdErr, console_text);
        show_on(system_table->ConOut, console_text);
    }

    // Without boot services, or without memory for the exit data, the
    // firmware cannot take control back; halting is all that is left.
    EFI_BOOT_SERVICES* boot_services = current_boot_services();
    if (boot_services == nullptr) {
        halt_forever();
    }
    const uint64_t exit_data_units = units + 3;
    const uint64_t exit_data_size = exit_data_units * sizeof(CHAR16);
    void* exit_data = nullptr;
    if (boot_services->AllocatePool(EfiLoaderData, exit_data_size, &exit_data) != EFI_SUCCESS ||
        exit_data == nullptr) {
        halt_forever();
    }
    auto* exit_text = static_cast<CHAR16*>(exit_data);
    for (uint64_t i = 0; i < exit_data_units; ++i) {
        exit_text[i] = console_text[i];
    }
    boot_services->Exit(loader_image_handle(), EFI_ABORTED, exit_data_size, exit_text);
    halt_forever();
}
