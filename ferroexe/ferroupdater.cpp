// The updater's construction, lifecycle hooks and the process-wide instance.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/installpaths.h"
#include "http/httpclient.h"

#include <cstdarg>

CFerroUpdater::CFerroUpdater()
    : m_pUpdateStatusUI(nullptr), m_bWindowShown(false), m_pHTTPClient(nullptr),
      m_eUniverse(k_EUniversePublic), m_bOffline(false), m_bUpdateFinished(false), m_bRestartRequired(false),
      m_bFatalError(false), m_bShutdownRequested(false), m_bUpdateOnLaunch(true), m_bInhibitChecksum(false),
      m_bInhibitAll(false), m_bCheckingForUpdates(false), m_cubToDownload(0), m_cubDownloadedComplete(0),
      m_cubDownloadedInFlight(0), m_bDownloadingPackages(false), m_bVerifyContentsRequested(false),
      m_DownloadSettings(DefaultDownloadSettings()), m_BootstrapLog("bootstrap_log"),
      m_pFileOps(&PlatformInstallFileOps())
{
    ReadConfigFile();
    m_BootstrapLog.BOpen(CInstallPaths::InstallDir());
    Log("Startup");
    ReadBetaFile();
    m_strInstallDir = CInstallPaths::InstallDir();
    ReadInstalledVersion();
    m_strAlternateBaseDir = CInstallPaths::InstallDir();
}

CFerroUpdater::~CFerroUpdater()
{
    // The thread reads this object: it must be gone before the members are. A thread that
    // was never told to stop is told now.
    m_bShutdownRequested = true;
    m_ShutdownEvent.Set();
    m_WakeEvent.Set();
    Join();
    delete m_pHTTPClient;
    m_pHTTPClient = nullptr;
}

void CFerroUpdater::SetFileOps(IInstallFileOps *pFileOps)
{
    m_pFileOps = pFileOps ? pFileOps : &PlatformInstallFileOps();
}

void CFerroUpdater::Log(const char *pchFormat, ...)
{
    CUtlString strText;
    va_list args;
    va_start(args, pchFormat);
    strText.FormatV(pchFormat, args);
    va_end(args);
    m_BootstrapLog.WriteLine(strText.Get());
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
