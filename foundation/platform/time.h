// Clocks of the system. Core code reads time through foundation/clock.h, not these.
#pragma once

#include "foundation/basetypes.h"

// Monotonic high-resolution tick counter and its frequency (ticks per second).
uint64 PLAT_GetHighResTicks();
uint64 PLAT_GetHighResTicksPerSecond();

struct PlatLocalTime_t
{
    uint32 m_unYear;   // e.g. 2026
    uint32 m_unMonth;  // 1 to 12
    uint32 m_unDay;    // 1 to 31
    uint32 m_unHour;   // 0 to 23
    uint32 m_unMinute; // 0 to 59
    uint32 m_unSecond; // 0 to 59 (60 for a leap second)
};

void PLAT_GetLocalTime(PlatLocalTime_t *pTime);

// Calendar time: whole seconds since 1970-01-01 00:00 UTC, as the system's clock says.
int64 PLAT_GetSecondsSince1970();
