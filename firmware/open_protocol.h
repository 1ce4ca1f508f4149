// Looking a protocol up on a handle. A failure is an empty result; the
// caller decides what that means for the boot.
#pragma once

#include "uefi/uefi.h"

// OpenProtocol by handle with the loader image as agent. Returns null when
// boot services are gone (logged), the handle lacks the protocol (silent),
// the firmware fails otherwise (logged as "Unexpected" with the handle), or it
// succeeds with no interface. What it opens is never closed.
void* open_protocol(EFI_HANDLE handle, const EFI_GUID& protocol);
