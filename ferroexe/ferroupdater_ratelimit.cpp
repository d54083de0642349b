// The player's download rate limit: the registry value "DownloadRateLimitKBps" under
// HKCU "Software\Quill\Ferro", or "-downloadrate KBPS" on the command line (which wins).
// 0 or absent is no limit; a value that is not a plain number in range is ignored with a
// log line, and the downloads run without a limit rather than not at all.
#include "ferroexe/ferroupdater.h"

#include "foundation/platform/registry.h"
#include "net/receiveratelimit.h"

#include <string>

namespace
{
const char k_szRateLimitKey[] = "Software\\Quill\\Ferro";
const char k_szRateLimitValue[] = "DownloadRateLimitKBps";
const uint64 k_cubPerKBps = 1024;
} // namespace

void CFerroUpdater::ApplyDownloadRateLimit(const char *pchCommandLine)
{
    std::string strText;
    const char *pchSource = "";
    bool bOption = false;
    std::string strOption = DownloadRateOption(pchCommandLine, &bOption);
    uint32 unRegistry = 0;
    char rgchRegistry[64];
    if (bOption)
    {
        strText = strOption;
        pchSource = "'-downloadrate' command-line option";
    }
    else if (PLAT_RegistryReadDWORD(k_EPlatRegistryHiveCurrentUser, k_szRateLimitKey, k_szRateLimitValue,
                                    &unRegistry))
    {
        strText = std::to_string(unRegistry);
        pchSource = "registry value DownloadRateLimitKBps";
    }
    else if (PLAT_RegistryReadString(k_EPlatRegistryHiveCurrentUser, k_szRateLimitKey, k_szRateLimitValue,
                                     rgchRegistry, sizeof(rgchRegistry)))
    {
        strText = rgchRegistry;
        pchSource = "registry value DownloadRateLimitKBps";
    }
    uint64 ulKBps = 0;
    if (!strText.empty() || bOption)
    {
        if (!BParseDownloadRateKBps(strText.c_str(), &ulKBps))
        {
            Log("Ignoring the download rate limit '%s' (%s): not a whole number of KB/s from 0 to %llu; "
                "downloading without a limit\n",
                strText.c_str(), pchSource, (unsigned long long)k_unMaxDownloadRateKBps);
            ulKBps = 0;
        }
        else if (ulKBps)
        {
            Log("Download rate limit: %llu KB/s (%s)\n", (unsigned long long)ulKBps, pchSource);
        }
    }
    m_DownloadSettings.m_cubRateLimit = ulKBps * k_cubPerKBps;
    NetSetReceiveRateLimit(m_DownloadSettings.m_cubRateLimit);
}
