// POSIX only: sockets need no library start-up.
#include "foundation/platform/sockets_init.h"

bool PLAT_StartSockets()
{
    return true;
}

void PLAT_StopSockets() {}
