// The loader's two ways of stopping. Neither returns and neither recovers.
//
// A fatal stop ends the boot after an expected failure: one line on the
// serial log, then the processor halts for good. A check failure ends it when
// one of the loader's own invariants breaks: the message goes to the
// firmware's text consoles and the loader exits to its starter with
// EFI_ABORTED, handing the message over as exit data.
#pragma once

#include "diag/text.h"

#include <stdint.h>

// "[quillmor] 装载失败：" — the first 26 bytes of every fatal line.
constexpr Text kFatalPrefix = "[quillmor] 装载失败：";

// Interrupts off, HLT, and again if anything wakes the processor.
[[noreturn]] void halt_forever();

// Writes "[quillmor] 装载失败：", the message and CR LF, then halts.
[[noreturn]] void fatal_stop(Text message);

[[noreturn]] void check_failed(Text message);
