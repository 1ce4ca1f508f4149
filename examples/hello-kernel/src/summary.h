// The parts of the boot summary the kernel writes to the serial port. Each
// returns false when it found something wrong with what it describes.
#pragma once

#include <quillmor/handoff.h>

bool print_loader(const quillmor_handoff& record);
void print_memory(const quillmor_handoff& record);
void print_modules(const quillmor_handoff& record);
void print_framebuffer(const quillmor_handoff& record);
bool print_acpi(const quillmor_handoff& record);

// The extension block (firmware.cpp): printed, with the date from the
// firmware's GetTime. False when it is missing or the firmware is not reached.
const quillmor_extension* extension_of(const quillmor_handoff& record);
bool print_extension(const quillmor_handoff& record);
// True when the command line is exactly `word`.
bool command_line_is(const quillmor_handoff& record, const char* word);
// ResetSystem(EfiResetShutdown) through the runtime services; returns only
// when the firmware did not power off.
void power_off(const quillmor_handoff& record);
bool print_boot_processor(const quillmor_handoff& record);

// Lists the members of a ustar archive (the usual format of an initrd).
void print_ustar_members(const volatile uint8_t* archive, uint64_t length);
