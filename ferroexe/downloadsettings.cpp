#include "ferroexe/downloadsettings.h"

#include "foundation/platform/process.h"

#include <cstdio>
#include <cstdlib>

DownloadSettings_t DefaultDownloadSettings()
{
    DownloadSettings_t settings;
    if (const char *pchLowSpeed = PLAT_GetEnv("FERRO_TEST_LOW_SPEED"))
    {
        unsigned int unBytes = 0, unSeconds = 0;
        if (sscanf(pchLowSpeed, "%u/%u", &unBytes, &unSeconds) == 2)
        {
            settings.m_cubLowSpeedLimit = unBytes;
            settings.m_unLowSpeedWindowSeconds = unSeconds;
        }
    }
    if (const char *pchPause = PLAT_GetEnv("FERRO_TEST_RETRY_PAUSE_MS"))
        settings.m_msFirstRetryPause = (uint32)strtoul(pchPause, nullptr, 10);
    if (settings.m_cPackageAttempts < 1)
        settings.m_cPackageAttempts = 1;
    return settings;
}

uint32 EffectiveLowSpeedLimit(const DownloadSettings_t &settings, uint32 cConnections)
{
    uint64 cubLimit = settings.m_cubLowSpeedLimit;
    if (settings.m_cubRateLimit && cConnections)
    {
        // Half of an even share of the limited line.
        uint64 cubShare = settings.m_cubRateLimit / cConnections / 2;
        if (cubShare < cubLimit)
            cubLimit = cubShare;
    }
    return (uint32)cubLimit;
}
