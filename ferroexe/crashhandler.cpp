#include "ferroexe/crashhandler.h"

#include "ferroexe/bootstrapperversion.h"
#include "foundation/strtools.h"

#include <cstdio>
#include <cstring>

FnCreateInterface GetCrashHandlerFactory()
{
    // No crash handler library ships with this program; a build that has one returns its
    // factory here.
    return nullptr;
}

void SetCrashHandlerBuildNumber(uint32)
{
    // No crash handler library ships with this program (see GetCrashHandlerFactory); a
    // build that has one hands the number over here.
}

void FormatBootstrapperVersionText(char *pchOut, int cubOut)
{
    char rgchVersion[64];
    Q_snprintf(rgchVersion, sizeof(rgchVersion), "%lld", (long long)GetBootstrapperVersion());
    Q_strncpy(pchOut, rgchVersion, cubOut);
}

bool BFormatBuildTimestamp(const char *pchDate, const char *pchTime, char *pchOut, int cubOut)
{
    static const char *const s_rgpchMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int nMonth = 0, nDay = 0, nYear = 0, nHour = 0, nMinute = 0, nSecond = 0;
    char rgchMonth[4] = {};
    bool bOk = pchDate && pchTime && sscanf(pchDate, "%3s %d %d", rgchMonth, &nDay, &nYear) == 3 &&
               sscanf(pchTime, "%d:%d:%d", &nHour, &nMinute, &nSecond) == 3;
    for (int i = 0; bOk && i < 12 && nMonth == 0; ++i)
    {
        if (strcmp(rgchMonth, s_rgpchMonths[i]) == 0)
            nMonth = i + 1;
    }
    bOk = bOk && nMonth != 0 && nDay >= 1 && nDay <= 31 && nYear >= 0 && nYear <= 9999 && nHour >= 0 &&
          nHour <= 23 && nMinute >= 0 && nMinute <= 59 && nSecond >= 0 && nSecond <= 60;
    if (!bOk)
    {
        Q_strncpy(pchOut, "00000000000000", cubOut);
        return false;
    }
    Q_snprintf(pchOut, cubOut, "%04d%02d%02d%02d%02d%02d", nYear, nMonth, nDay, nHour, nMinute, nSecond);
    return true;
}

void CCrashHandlerRegistration::Register(bool bFullMemoryDump)
{
    char rgchVersion[64];
    FormatBootstrapperVersionText(rgchVersion, sizeof(rgchVersion));
    char rgchTimestamp[16];
    BFormatBuildTimestamp(__DATE__, __TIME__, rgchTimestamp, sizeof(rgchTimestamp));

    FnCreateInterface pfnFactory = GetCrashHandlerFactory();
    if (!pfnFactory || m_hRegistration)
        return;
    m_pCrashHandler = static_cast<ICrashHandler *>(pfnFactory(CRASHHANDLER_INTERFACE_VERSION, nullptr));
    if (!m_pCrashHandler)
        return;
    m_hRegistration = m_pCrashHandler->BeginRegistration();
    m_pCrashHandler->SetRegistrationInfo(m_hRegistration, "ferro", rgchVersion, rgchTimestamp,
                                         bFullMemoryDump, 0, 0);
    m_pCrashHandler->SetCrashDescription("Ferro Executable Crash\n");
}

void CCrashHandlerRegistration::Release()
{
    if (m_pCrashHandler && m_hRegistration)
        m_pCrashHandler->EndRegistration(m_hRegistration);
    m_hRegistration = nullptr;
    m_pCrashHandler = nullptr;
}
