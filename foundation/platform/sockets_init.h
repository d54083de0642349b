// Process-wide start and stop of the system's socket library (Winsock on Windows; nothing
// to do elsewhere). Calls pair up: every successful start is matched by one stop.
#pragma once

#include "foundation/basetypes.h"

// Asks for socket library version 2.0. True when the library is ready.
bool PLAT_StartSockets();
void PLAT_StopSockets();
