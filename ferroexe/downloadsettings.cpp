#include "ferroexe/downloadsettings.h"

#include "foundation/platform/process.h"
#include "foundation/strtools.h"

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

bool BParseDownloadRateKBps(const char *pchText, uint64 *pulKBps)
{
    if (!pchText)
        return false;
    const char *pch = pchText;
    while (*pch == ' ' || *pch == '\t')
        ++pch;
    uint64 ulValue = 0;
    int cDigits = 0;
    for (; *pch >= '0' && *pch <= '9'; ++pch, ++cDigits)
    {
        ulValue = ulValue * 10 + (uint64)(*pch - '0');
        if (ulValue > k_unMaxDownloadRateKBps)
            return false;
    }
    while (*pch == ' ' || *pch == '\t')
        ++pch;
    if (cDigits == 0 || *pch)
        return false;
    *pulKBps = ulValue;
    return true;
}

std::string DownloadRateOption(const char *pchCommandLine, bool *pbPresent)
{
    *pbPresent = false;
    const char *pch = pchCommandLine ? pchCommandLine : "";
    static const char k_szOption[] = "-downloadrate";
    const size_t cchOption = sizeof(k_szOption) - 1;
    for (const char *pchFound = Q_stristr(pch, k_szOption); pchFound;
         pchFound = Q_stristr(pchFound + cchOption, k_szOption))
    {
        // A whole word only: "-downloadrates" or "x-downloadrate" is something else.
        const bool bStarts = pchFound == pch || pchFound[-1] == ' ' || pchFound[-1] == '\t';
        const char chAfter = pchFound[cchOption];
        if (!bStarts || (chAfter && chAfter != ' ' && chAfter != '\t'))
            continue;
        *pbPresent = true;
        const char *pchValue = pchFound + cchOption;
        while (*pchValue == ' ' || *pchValue == '\t')
            ++pchValue;
        const char *pchEnd = pchValue;
        while (*pchEnd && *pchEnd != ' ' && *pchEnd != '\t')
            ++pchEnd;
        return std::string(pchValue, (size_t)(pchEnd - pchValue));
    }
    return std::string();
}
