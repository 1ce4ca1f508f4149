#include "firmware/allocator.h"

#include "diag/checked.h"
#include "firmware/page_ledger.h"
#include "uefi/loader_globals.h"

namespace {
constexpr Allocation kNothing = {0, 0};
} // namespace

Allocation alloc_pages(uint64_t page_count) {
    EFI_BOOT_SERVICES* boot_services = current_boot_services();
    if (boot_services == nullptr) {
        return kNothing;
    }
    EFI_PHYSICAL_ADDRESS address = 0;
    // Pages start on a page boundary. A firmware that claims success with
    // no address, or with one inside a page, has handed over nothing usable:
    // tables and the landing area written there would straddle pages that
    // belong to someone else.
    if (boot_services->AllocatePages(AllocateAnyPages, EfiLoaderData, page_count, &address) !=
            EFI_SUCCESS ||
        address == 0 || (address & kPageMask) != 0) {
        return kNothing;
    }
    const uint64_t length = pages_to_bytes(page_count);
    // A refused record is not handed back: the caller stops at once, so the
    // run never goes on with memory the ledger does not know.
    if (!ledger_add(address, length)) {
        return kNothing;
    }
    return {address, length};
}

Allocation alloc_pool(uint64_t byte_count) {
    EFI_BOOT_SERVICES* boot_services = current_boot_services();
    if (boot_services == nullptr) {
        return kNothing;
    }
    void* buffer = nullptr;
    if (boot_services->AllocatePool(EfiLoaderData, byte_count, &buffer) != EFI_SUCCESS ||
        buffer == nullptr) {
        return kNothing;
    }
    const uint64_t address = address_of(buffer);
    if (!ledger_add(address, byte_count)) {
        return kNothing;
    }
    return {address, byte_count};
}
