// The loader's check failure, for the host tools (quillmor-check,
// quillmor-seal): say what broke and exit. A check failure here means a fault
// in the loader's code, never in the files given.
#include "diag/stop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

void check_failed(Text message) {
    std::fprintf(stderr, "%s: the loader's internal check failed: %.*s\n",
                 program_invocation_short_name, static_cast<int>(message.length), message.bytes);
    std::exit(4);
}

void halt_forever() {
    std::exit(4);
}
