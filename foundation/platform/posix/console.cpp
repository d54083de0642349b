// POSIX only: a program's standard streams are its terminal's from the start.
#include "foundation/platform/console.h"

void PLAT_AttachParentConsole() {}
