#include "ferroexe/consoleupdateui.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"
#include "foundation/platform/codepage.h"
#include "foundation/platform/sockets_init.h"

CConsoleUpdateUI *CConsoleUpdateUI::GetInstance()
{
    // Never deleted: the updater thread may still report after the main flow returned.
    static CConsoleUpdateUI *s_pInstance = new CConsoleUpdateUI(stdout, stdin);
    return s_pInstance;
}

bool CConsoleUpdateUI::BInit(int *, char ***)
{
    // The network layer needs the socket library whatever the UI; a failure shows later
    // as a failed connection.
    PLAT_StartSockets();
    m_CrashHandler.Register(false);
    // Every text is UTF-8; a Windows console would show the German ones garbled.
    PLAT_SetConsoleOutputUTF8();
    return true;
}

void CConsoleUpdateUI::PrintLine(const char *pchFormatWithPercent, const char *pchFormatUnknown,
                                 const char *pchText)
{
    if (!pchText)
        pchText = "";
    // Read once, so that the test and the printed value cannot differ.
    int nPercent = m_nPercent.load();
    if (nPercent >= 0 && nPercent <= 100)
        fprintf(m_pOut, pchFormatWithPercent, nPercent, pchText);
    else
        fprintf(m_pOut, pchFormatUnknown, pchText);
    fflush(m_pOut);
}

void CConsoleUpdateUI::SetStatusText(const char *pchText)
{
    PrintLine("[%3d%%] %s\n", "[----] %s\n", pchText);
}

void CConsoleUpdateUI::ShowFatalError(const char *pchText)
{
    PrintLine("[%3d%%] !!! Fatal Error: %s\n", "[----] !!! Fatal Error: %s\n", pchText);
}

void CConsoleUpdateUI::ShowFatalErrorWithCause(const char *pchCause, const char *pchText)
{
    if (pchCause && *pchCause)
        PrintLine("[%3d%%] !!! %s\n", "[----] !!! %s\n", pchCause);
    ShowFatalError(pchText);
}

int CConsoleUpdateUI::AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext)
{
    fprintf(m_pOut, "%s [y/N]\n", pchQuestion ? pchQuestion : "");
    fflush(m_pOut);
    int ch = fgetc(m_pIn);
    if (ch >= 'A' && ch <= 'Z')
        ch += 'a' - 'A';
    int nAnswer = ch == 'y' ? 0 : 1;
    if (!pfnAnswer)
    {
        AssertMsg(pfnAnswer, "pfnAnswer");
        return nAnswer;
    }
    return pfnAnswer(nAnswer, pvContext);
}

bool CConsoleUpdateUI::BRunFrame(const uint64 *pulTicksDeadline)
{
    if (!pulTicksDeadline)
    {
        m_WakeEvent.Wait(20);
        return true;
    }
    uint64 ulNow = Clock_GetTicks();
    uint64 ulRemaining = *pulTicksDeadline > ulNow ? *pulTicksDeadline - ulNow : 0;
    // Whole milliseconds, truncated; a zero wait only takes a wake that came meanwhile.
    uint64 ulMilliseconds = Clock_TicksToMicroseconds(ulRemaining) / 1000;
    m_WakeEvent.Wait(ulMilliseconds > 0xFFFFFFFEu ? 0xFFFFFFFEu : (uint32)ulMilliseconds);
    return true;
}
