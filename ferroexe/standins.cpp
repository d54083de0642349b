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

bool BHandOffToRunningInstance(int, char **)
{
    return false;
}

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

// Appends one record of a LaunchClient call for the end-to-end tests.
void RecordLaunchForTests(const char *pchRecordPath, int argc, char **argv, bool bOffline, bool bConsole)
{
    FILE *pFile = PLAT_fopen(pchRecordPath, "a");
    if (!pFile)
        return;
    const char *pchBetaPassword = PLAT_GetEnv("FerroBetaPassword");
    fprintf(pFile, "launch\nargc %d\n", argc);
    for (int i = 0; i < argc; ++i)
        fprintf(pFile, "arg %s\n", argv[i] ? argv[i] : "");
    fprintf(pFile, "beta %s\noffline %d\nconsole %d\nend\n", pchBetaPassword ? pchBetaPassword : "",
            bOffline ? 1 : 0, bConsole ? 1 : 0);
    fclose(pFile);
}
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

int LaunchClient(int argc, char **argv, bool bOffline, bool bConsole)
{
    if (const char *pchRecord = PLAT_GetEnv("FERRO_TEST_CLIENT_RECORD"))
        RecordLaunchForTests(pchRecord, argc, argv, bOffline, bConsole);
    if (const char *pchHold = PLAT_GetEnv("FERRO_TEST_CLIENT_HOLD"))
    {
        for (int i = 0; i < 6000 && !PLAT_FileExists(pchHold); ++i)
            Clock_Sleep(10);
    }
    if (const char *pchResult = PLAT_GetEnv("FERRO_TEST_CLIENT_RESULT"))
    {
        int nResult = atoi(pchResult);
        PLAT_SetEnv("FERRO_TEST_CLIENT_RESULT", nullptr);
        return nResult;
    }

    char rgchMessage[256];
    Q_snprintf(rgchMessage, sizeof(rgchMessage), "Failed to load %s", "ferro" FERRO_DLL_EXT);
    if (IUpdateStatusUI *pUI = GetPUpdateStatusUI())
        pUI->ShowFatalError(rgchMessage);
    return -1;
}

FERRO_EXPORT uint64 GetBootstrapperVersion()
{
    return 0;
}
