// POSIX only: window managers decide about the foreground themselves.
#include "foundation/platform/foreground.h"

void PLAT_AllowSetForegroundWindow(uint32) {}
