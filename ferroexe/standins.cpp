#include "ferroexe/standins.h"

#include "ferroexe/installpaths.h"
#include "ferroexe/localizedtext.h"
#include "foundation/clock.h"
#include "foundation/commandline.h"
#include "foundation/dbg.h"
#include "foundation/platform/file.h"
#include "foundation/platform/process.h"
#include "foundation/platform/sockets_init.h"
#include "foundation/strtools.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

// Temporary: the window's option, registered here until the window exists.
static CCommandLineOption g_OptionFullMemoryDump("-full_memory_dump", "");

CWin32UpdateUI *CWin32UpdateUI::GetInstance()
{
    static CWin32UpdateUI *s_pInstance = new CWin32UpdateUI();
    return s_pInstance;
}

CWin32UpdateUI::CWin32UpdateUI()
{
    // The lookup's buffer is reused by the next lookup: keep copies.
    m_strWindowTitle = LocalizeBootstrapperText("#FerroBootstrapper_WindowTitle", nullptr, "Arvo Launcher");
    m_strHeading =
        LocalizeBootstrapperText("#FerroBootstrapper_UpdatingFerro", nullptr, "Updating Arvo Launcher...");
}

bool CWin32UpdateUI::BInit(int *, char ***)
{
    m_bSocketsStarted = PLAT_StartSockets();
    ICommandLine *pCommandLine = GetCommandLineObject();
    m_CrashHandler.Register(pCommandLine->FindOption(g_OptionFullMemoryDump.GetHandle()) != nullptr);
    return true;
}

void CWin32UpdateUI::Shutdown()
{
    if (m_bSocketsStarted)
        PLAT_StopSockets();
    m_bSocketsStarted = false;
    m_CrashHandler.Release();
}

void CWin32UpdateUI::ShowFatalError(const char *pchText)
{
    fprintf(stderr, "Fatal Error: %s\n", pchText ? pchText : "");
    fflush(stderr);
}

int CWin32UpdateUI::AskYesNo(const char *, FnAskYesNoAnswer pfnAnswer, void *pvContext)
{
    return pfnAnswer ? pfnAnswer(1, pvContext) : 1;
}

bool CWin32UpdateUI::BRunFrame(const uint64 *)
{
    Clock_Sleep(20);
    return true;
}
