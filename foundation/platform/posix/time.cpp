// POSIX only: the monotonic clock and local time.
#include "foundation/platform/time.h"

#include <ctime>

uint64 PLAT_GetHighResTicks()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64)ts.tv_sec * 1000000000ull + (uint64)ts.tv_nsec;
}

uint64 PLAT_GetHighResTicksPerSecond()
{
    return 1000000000ull;
}

void PLAT_GetLocalTime(PlatLocalTime_t *pTime)
{
    time_t now = time(nullptr);
    struct tm tmLocal;
    localtime_r(&now, &tmLocal);
    pTime->m_unYear = (uint32)(tmLocal.tm_year + 1900);
    pTime->m_unMonth = (uint32)(tmLocal.tm_mon + 1);
    pTime->m_unDay = (uint32)tmLocal.tm_mday;
    pTime->m_unHour = (uint32)tmLocal.tm_hour;
    pTime->m_unMinute = (uint32)tmLocal.tm_min;
    pTime->m_unSecond = (uint32)tmLocal.tm_sec;
}

int64 PLAT_GetSecondsSince1970()
{
    return (int64)time(nullptr);
}
