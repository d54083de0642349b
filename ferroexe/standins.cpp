#include "ferroexe/standins.h"

#include "ferroexe/installpaths.h"
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

void TCPConnectionGlobalInit(bool, CFrameFunctionMgr &) {}

CHTTPClient::CHTTPClient(CFrameFunctionMgr &, uint32, const char *, uint32,
                         uint32 unMaxInFlightRequestsPerHost, CTLSContext *, CWorkThreadPool *)
    : m_unMaxInFlightRequestsPerHost(unMaxInFlightRequestsPerHost)
{
}

void CHTTPClient::Shutdown() {}

CFerroUpdater::CFerroUpdater()
{
    m_strInstallDir = CInstallPaths::InstallDir();
}

CFerroUpdater::~CFerroUpdater()
{
    // The thread reads this object; it must be gone before the members are.
    Join();
    delete m_pHTTPClient;
}

int CFerroUpdater::Run()
{
    m_bUpdateFinished = true;
    return 0;
}

bool CFerroUpdater::BInitialize(CHTTPClient *pHTTPClient, bool, const char *pchClientBetaOverride)
{
    if (!pHTTPClient || m_pHTTPClient)
        return false;
    m_pHTTPClient = pHTTPClient;
    if (pchClientBetaOverride && *pchClientBetaOverride)
        m_strClientBeta = pchClientBetaOverride;
    return true;
}

bool CFerroUpdater::BIsInstallDirWritable()
{
    FILE *pFile = PLAT_fopen(".writable", "w");
    if (!pFile)
        return false;
    fclose(pFile);
    PLAT_DeleteFile(".writable");
    return true;
}

bool CFerroUpdater::BInstallUpdateFromDirectory(const char *)
{
    return false;
}

bool CFerroUpdater::BRemoveUpdateFromDirectory(const char *)
{
    return true;
}

void CFerroUpdater::EnsurePackageDir()
{
    if (m_strPackageDir.IsEmpty())
        m_strPackageDir.Format("%s/%s", m_strInstallDir.Get(), "package");
}

bool CFerroUpdater::BIsUpdatePending()
{
    return false;
}

bool CFerroUpdater::BCheckUserDirectories()
{
    return true;
}

void CFerroUpdater::RequestShutdown()
{
    if (m_pHTTPClient)
    {
        m_pHTTPClient->Shutdown();
        delete m_pHTTPClient;
        m_pHTTPClient = nullptr;
    }
    m_bShutdownRequested = true;
    m_WakeEvent.Set();
}

namespace
{
std::mutex g_FerroUpdaterMutex;
CFerroUpdater *g_pFerroUpdater = nullptr;
} // namespace

CFerroUpdater *GetFerroUpdater()
{
    std::lock_guard<std::mutex> lock(g_FerroUpdaterMutex);
    if (!g_pFerroUpdater)
        g_pFerroUpdater = new CFerroUpdater();
    return g_pFerroUpdater;
}

void DeleteFerroUpdater()
{
    CFerroUpdater *pUpdater;
    {
        std::lock_guard<std::mutex> lock(g_FerroUpdaterMutex);
        pUpdater = g_pFerroUpdater;
        g_pFerroUpdater = nullptr;
    }
    delete pUpdater;
}

const char *LocalizeBootstrapperText(const char *, KeyValues *, const char *pchFallback)
{
    return pchFallback;
}

FERRO_EXPORT uint64 GetBootstrapperVersion()
{
    return 0;
}

CWin32UpdateUI *CWin32UpdateUI::GetInstance()
{
    static CWin32UpdateUI *s_pInstance = new CWin32UpdateUI();
    return s_pInstance;
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
