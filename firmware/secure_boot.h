// Whether the firmware enforces Secure Boot, from its SecureBoot variable.
#pragma once

// True only when the variable reads as the single byte 1. A missing
// variable (older firmware, U-Boot), a failed read or any other value means
// off: the answer is never a reason to stop a boot that would go on today.
bool secure_boot_enabled();
