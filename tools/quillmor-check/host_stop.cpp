// The loader's check failure, for a host tool: say what broke and exit. A
// check failure here means a fault in the loader, never in the kernel file.
#include "diag/stop.h"

#include <cstdio>
#include <cstdlib>

void check_failed(Text message) {
    std::fprintf(stderr, "quillmor-check: the loader's internal check failed: %.*s\n",
                 static_cast<int>(message.length), message.bytes);
    std::exit(4);
}

void halt_forever() {
    std::exit(4);
}
