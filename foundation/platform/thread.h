// Operating-system threads. The foundation's CThread and the events build on these.
#pragma once

#include "foundation/basetypes.h"

typedef void *PlatThreadHandle_t;
typedef uint32 (*FnPlatThreadProc)(void *pvParam);

// Starts a thread running pfn(pvParam). cubStack 0 takes the default stack size.
// *punThreadId (when given) receives the id that PLAT_GetCurrentThreadId returns on the
// new thread.
bool PLAT_CreateThread(FnPlatThreadProc pfn, void *pvParam, uint32 cubStack, PlatThreadHandle_t *phThread,
                       uint32 *punThreadId);
// Waits for the thread to end (at most unMilliseconds of real time, INFINITE_WAIT for no
// limit); true when it has ended. Does not free the handle. Several threads may wait for the
// same thread at once; none may close the handle while another waits on it.
bool PLAT_WaitForThread(PlatThreadHandle_t hThread, uint32 unMilliseconds);
// Frees the handle; a thread still running goes on, detached.
void PLAT_CloseThread(PlatThreadHandle_t hThread);

uint32 PLAT_GetCurrentThreadId();
// Names the calling thread for debuggers and process listings (cut to what the system allows).
void PLAT_SetCurrentThreadName(const char *pchName);

// Real sleep of the calling thread; 0 yields the processor. Core code sleeps through the
// clock (foundation/clock.h) instead, so that tests can replace time.
void PLAT_Sleep(uint32 unMilliseconds);
