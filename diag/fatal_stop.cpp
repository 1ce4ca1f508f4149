#include "diag/serial.h"
#include "diag/stop.h"

void fatal_stop(Text message) {
    // Only port output: this also serves after the boot services are gone.
    serial_write(kFatalPrefix);
    serial_write(message);
    serial_write(kLineEnd);
    halt_forever();
}
