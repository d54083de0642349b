// Letting another process bring its window to the front (a running client that receives
// a hand-off from this process).
#pragma once

#include "foundation/basetypes.h"

// Windows: AllowSetForegroundWindow, looked up at run time and called only when the user
// interface library is loaded already (nothing is linked or loaded for it). POSIX: there
// is no such permission; nothing happens.
void PLAT_AllowSetForegroundWindow(uint32 unProcessId);
