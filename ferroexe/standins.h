// Stand-ins for the operations that later work supplies under the same names. Each does the
// simplest thing its job allows, so that the main flow runs end to end today. Delete this
// pair of files as a block (and include the real headers instead) when the real ones land.
#pragma once

#include "common/framefunctionmgr.h"
#include "ferroexe/crashhandler.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/basetypes.h"
#include "foundation/thread.h"
#include "foundation/threadtools.h"
#include "foundation/utlstring.h"

#include <atomic>

class KeyValues;
class CTLSContext;
class CWorkThreadPool;

// Temporary: the TCP layer's global initialisation (no-op).
void TCPConnectionGlobalInit(bool bClientMode, CFrameFunctionMgr &frameFunctionMgr);

// Temporary: the HTTP client; it sends nothing.
class CHTTPClient
{
public:
    CHTTPClient(CFrameFunctionMgr &frameFunctionMgr, uint32 unKeepAliveSeconds,
                const char *pchResponseCacheDir, uint32 cubResponseCacheSize,
                uint32 unMaxInFlightRequestsPerHost, CTLSContext *pTLSContext, CWorkThreadPool *pThreadPool);
    void Shutdown();

    uint32 m_unMaxInFlightRequestsPerHost;
};

// Temporary: the updater; its thread finds the installation current at once.
class CFerroUpdater : public CThread
{
public:
    CFerroUpdater();
    ~CFerroUpdater() override;

    int Run() override;

    bool BInitialize(CHTTPClient *pHTTPClient, bool bForceUpdate, const char *pchClientBetaOverride);
    void SetUpdateStatusUI(IUpdateStatusUI *pUI) { m_pUpdateStatusUI = pUI; }
    // Creates and removes ".writable" in the working directory (the install directory).
    bool BIsInstallDirWritable();
    bool BInstallUpdateFromDirectory(const char *pchSourceDir);
    bool BRemoveUpdateFromDirectory(const char *pchSourceDir);
    void EnsurePackageDir();
    bool BIsUpdatePending();
    bool BCheckUserDirectories();
    void RequestShutdown();

    IUpdateStatusUI *m_pUpdateStatusUI = nullptr;
    CHTTPClient *m_pHTTPClient = nullptr;
    // Written by the updater thread, read by the main thread between passes.
    std::atomic<bool> m_bOffline{false};
    std::atomic<bool> m_bUpdateFinished{false};
    std::atomic<bool> m_bRestartRequired{false};
    std::atomic<bool> m_bFatalError{false};
    std::atomic<bool> m_bShutdownRequested{false};
    CThreadEvent m_WakeEvent;
    CUtlString m_strInstallDir;
    CUtlString m_strPackageDir;
    CUtlString m_strClientBeta;
    CUtlString m_strLastError;
};
// Temporary: the process-wide updater, created on first use.
CFerroUpdater *GetFerroUpdater();
// Temporary: deletes the updater and clears its slot.
void DeleteFerroUpdater();

// Temporary: the localized text lookup; there is no table yet, so the fallback.
const char *LocalizeBootstrapperText(const char *pchToken, KeyValues *pVariables, const char *pchFallback);

// Temporary: the bootstrapper version export; no manifest is read yet, so 0.
FERRO_EXPORT uint64 GetBootstrapperVersion();

// Temporary: the progress window; it shows nothing and writes fatal errors to standard error.
class CWin32UpdateUI : public IUpdateStatusUI
{
public:
    static CWin32UpdateUI *GetInstance();

    void SetShowCommand(int nShowCommand) { m_nShowCommand = nShowCommand; }
    void SetInstanceHandle(void *hInstance) { m_hInstance = hInstance; }

    bool BInit(int *pArgc, char ***pArgv) override;
    bool BCreateWindow() override { return true; }
    bool BShowWindow() override { return true; }
    void DestroyWindow() override {}
    void Shutdown() override;
    void SetStatusText(const char *) override {}
    void SetProgress(int) override {}
    bool BUserCancelled() override { return false; }
    void ShowFatalError(const char *pchText) override;
    // No window to ask in: the answer is "Cancel".
    int AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext) override;
    // Waits about 20 ms so that an idle main loop does not spin.
    bool BRunFrame(const uint64 *pulTicksDeadline) override;
    bool BReadyToLaunchClient() override { return true; }

private:
    int m_nShowCommand = 0;
    void *m_hInstance = nullptr;
    bool m_bSocketsStarted = false;
    CCrashHandlerRegistration m_CrashHandler;
};
