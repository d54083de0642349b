// Named events shared between processes: one process creates the event and waits on it,
// others open it by name and signal it (the wake-up of a running client).
//
// Names are written the Windows way ("Global\\Quill_FerroIPC_Class"). When the environment
// variable FERRO_IPC_NAMESPACE is set (letters, digits, '-', '_' and '.' only), every name
// is placed in that private namespace, so that test runs do not see each other's events
// nor a real client's.
//
// The event is auto-reset: a signal releases one wait, and a signal with nobody waiting
// stays until the next wait (signals do not add up). Handles may be used from any thread;
// a handle is closed once, by its owner.
//
// Windows: a named event object. POSIX: a named semaphore plus two lock files beside it
// (under /dev/shm, else the temporary directory). The creator holds an exclusive lock on
// "<name>.owner" for the event's life and, once the semaphore is fresh, one on
// "<name>.ready"; an open succeeds only while "<name>.ready" is locked, so the semaphore
// of a creator that died (the system drops its locks) is never mistaken for a live one.
// A new creator removes such a leftover first; the creator removes the semaphore when it
// closes the event.
#pragma once

#include "foundation/basetypes.h"

#include <cstdlib>

struct PlatNamedEvent_s;
typedef PlatNamedEvent_s *PlatNamedEvent_t;

// Creates the event, or opens it when a live creator has it already (Windows semantics).
// The handle may wait and signal. Null on failure.
PlatNamedEvent_t PLAT_CreateNamedEvent(const char *pchName);
// Opens an existing event for signalling only (Windows: EVENT_MODIFY_STATE, not
// inherited). Null when nobody has created it, or its creator has gone.
PlatNamedEvent_t PLAT_OpenNamedEvent(const char *pchName);
bool PLAT_SetNamedEvent(PlatNamedEvent_t hEvent);
// Waits for a signal for up to unMilliseconds of real time (0: just looks, INFINITE_WAIT:
// no limit) and consumes it. True when signalled. Only handles made by PLAT_CreateNamedEvent.
bool PLAT_WaitNamedEvent(PlatNamedEvent_t hEvent, uint32 unMilliseconds);
// Closes the handle (null is ignored). The creator's close also removes the event's name.
void PLAT_CloseNamedEvent(PlatNamedEvent_t hEvent);

// The private namespace of FERRO_IPC_NAMESPACE: "" when unset; false when it holds a
// character other than a letter, digit, '-', '_' or '.' (every name is refused then).
// Shared by both implementations.
inline bool BGetNamedEventNamespace(const char **ppchNamespace)
{
    const char *pchNamespace = getenv("FERRO_IPC_NAMESPACE");
    *ppchNamespace = pchNamespace ? pchNamespace : "";
    for (const char *pch = *ppchNamespace; *pch; ++pch)
    {
        char ch = *pch;
        bool bValid = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                      ch == '-' || ch == '_' || ch == '.';
        if (!bValid)
            return false;
    }
    return true;
}
