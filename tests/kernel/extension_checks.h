/* Checks on the extension block the record points to. */
#ifndef KTEST_EXTENSION_CHECKS_H
#define KTEST_EXTENSION_CHECKS_H

#include <stdint.h>

#include <quillmor/handoff.h>

#include "page_walk.h"

/* extension-block (in the record's pages, mapped, its header), then
   extension-system-table, -memory-map, -smbios, -tsc and -command-line, and
   the info line "extension ... cmdline=HEX". */
void check_extension(const struct quillmor_handoff* record, uint64_t record_physical,
                     const struct page_walk* walk);

#endif
