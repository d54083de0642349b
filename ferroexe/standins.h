// Stand-ins for the operations that later work supplies under the same names. Each does the
// simplest thing its job allows, so that the main flow runs end to end today. Delete this
// pair of files as a block (and include the real headers instead) when the real ones land.
#pragma once

#include "common/framefunctionmgr.h"
#include "common/httpclient.h"
#include "ferroexe/crashhandler.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/basetypes.h"
#include "foundation/thread.h"
#include "foundation/threadtools.h"
#include "foundation/utlstring.h"

#include <atomic>

class KeyValues;

// Temporary: finds no running instance to hand the command line to.
bool BHandOffToRunningInstance(int argc, char **argv);

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

// Temporary: the client library is not there yet, so this reports "Failed to load" with
// the client library's file name and returns -1. For the end-to-end tests it also reads:
//   FERRO_TEST_CLIENT_RECORD  file to which each call appends its arguments and flags;
//   FERRO_TEST_CLIENT_HOLD    file whose appearance it waits for (at most 60 s);
//   FERRO_TEST_CLIENT_RESULT  a result to return instead of failing; it is removed from
//                             the environment when read, so a relaunched launcher fails
//                             normally and cannot relaunch again.
int LaunchClient(int argc, char **argv, bool bOffline, bool bConsole);

// Temporary: the bootstrapper version export; no manifest is read yet, so 0.
FERRO_EXPORT uint64 GetBootstrapperVersion();
