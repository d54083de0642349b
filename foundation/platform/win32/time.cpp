// Windows only: the performance counter and local time.
#include "foundation/platform/time.h"

#include <windows.h>

uint64 PLAT_GetHighResTicks()
{
    LARGE_INTEGER liTicks;
    QueryPerformanceCounter(&liTicks);
    return (uint64)liTicks.QuadPart;
}

uint64 PLAT_GetHighResTicksPerSecond()
{
    // Fixed at boot; read once.
    static const uint64 s_unFrequency = []()
    {
        LARGE_INTEGER liFrequency;
        QueryPerformanceFrequency(&liFrequency);
        return (uint64)liFrequency.QuadPart;
    }();
    return s_unFrequency;
}

void PLAT_GetLocalTime(PlatLocalTime_t *pTime)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    pTime->m_unYear = st.wYear;
    pTime->m_unMonth = st.wMonth;
    pTime->m_unDay = st.wDay;
    pTime->m_unHour = st.wHour;
    pTime->m_unMinute = st.wMinute;
    pTime->m_unSecond = st.wSecond;
}

int64 PLAT_GetSecondsSince1970()
{
    // FILETIME counts 100 ns steps since 1601-01-01; 1970 is 11,644,473,600 seconds later.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64 ul100ns = ((uint64)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return (int64)(ul100ns / 10000000ull) - 11644473600ll;
}
