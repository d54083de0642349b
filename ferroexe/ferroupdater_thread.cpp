// The updater's thread: the start-up update (check, install a pending update, verify, or
// download and install the current build), then the background loop that checks again at
// random intervals or when woken; and the shutdown that stops it before the HTTP client
// goes.
#include "ferroexe/ferroupdater.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"
#include "foundation/uniformrandom.h"
#include "http/httpclient.h"

namespace
{
// Seconds between background checks. The public universe spreads its many launchers over
// the hours so that they do not ask the content service all at once.
const int k_nFirstPublicIntervalMin = 60;
const int k_nFirstPublicIntervalMax = 3600;
const int k_nPublicIntervalMin = 21600;
const int k_nPublicIntervalMax = 28800;
const int k_nFirstOtherInterval = 60;
const int k_nOtherInterval = 120;
} // namespace

int CFerroUpdater::Run()
{
    int nResult = RunUpdate();
    DiscardUnpackPipeline();
    // Whichever way the thread ends (a fatal start-up, offline, shutdown), it no longer
    // checks; the exports must not report a check that will never finish. Nor does it keep
    // another launcher waiting.
    UnlockInstallation();
    m_bCheckingForUpdates = false;
    AnnounceOutcome();
    return nResult;
}

int CFerroUpdater::EnterBackgroundLoop()
{
    // The start-up phase has written what it had to: another launcher may go on. Checks
    // from now on only download.
    m_bUnpackWhileDownloading = false;
    DiscardUnpackPipeline();
    UnlockInstallation();
    AnnounceOutcome();
    return BackgroundUpdateLoop();
}

void CFerroUpdater::AnnounceOutcome()
{
    // The main loop waits for the outcome in its UI slot: it goes on at once, not at the end
    // of the slot.
    if (m_pUpdateStatusUI)
        m_pUpdateStatusUI->WakeFrame();
}

int CFerroUpdater::RunUpdate()
{
    // A thread woken after shutdown has nothing to do.
    if (m_bShutdownRequested)
        return 0;
    RemoveOldExecutable();

    if (m_bInhibitAll)
    {
        Log("Supressing Ferro update");
        m_bUpdateFinished = true;
        return 0;
    }

    m_bCheckingForUpdates = true;
    SetProgress(0);

    // From before the installed state is read until the new one is written, this launcher
    // is the only one that works on the installation.
    if (!BLockInstallation(true))
    {
        if (BStopRequested())
            return 0;
        SetUpdateError(LocalizeUpdaterText("#FerroBootstrapper_LauncherBusy",
                                           "Another launcher is still updating Ferro in this folder. Please "
                                           "try again when it has finished.")
                           .Get(),
                       true);
        return -1;
    }
    RemoveLeftoversOfInterruptedWork();

    // What the start-up downloads it installs at once: unpacked as it arrives.
    m_bUnpackWhileDownloading = true;
    if (!BCheckForUpdateOnStartup())
        return 0;
    int nResult = 0;
    if (BInstallPendingUpdate(&nResult) || BVerifyInstallation(&nResult))
        return nResult;
    return DownloadAndInstallWholeBuild();
}

bool CFerroUpdater::BCheckForUpdateOnStartup()
{
    // A failed start-up check is no reason not to start what is installed, but the player
    // sees why there was no update.
    if (m_bUpdateOnLaunch && !m_bOffline)
    {
        Log("Checking for update on startup");
        if (!BCheckForUpdate(false) && !BStopRequested())
            ShowStepFailure();
    }
    // Cancel or shutdown: nothing more is installed, and no outcome is reported.
    if (BStopRequested())
        return false;

    // A pending manifest that does not verify is deleted, never installed; the update it
    // stood for is asked of the content service again, saved anew when it is whole.
    if (BDiscardRefusedPendingManifests() && !m_bOffline)
    {
        Log("Fetching the update again");
        BCheckForUpdate(true);
        if (m_bShutdownRequested)
            return false;
    }
    return true;
}

bool CFerroUpdater::BInstallPendingUpdate(int *pnResult)
{
    // An update downloaded earlier (by this check or a background one).
    if (!BIsUpdatePending())
        return false;
    Log("Found pending update");
    if (!BIsInstallDirWritable())
    {
        bool bVerified = BVerifyInstalledFiles(true);
        m_bUpdateFinished = bVerified;
        m_bFatalError = !bVerified;
        *pnResult = EnterBackgroundLoop();
        return true;
    }
    ShowWindowOnce();
    SetProgress(-1);
    UpdateStatusLocalized("#FerroBootstrapper_UpdateInstalling", "Applying update...");
    if (BApplyUpdate())
    {
        // Unless the checksum exemption kept it out of the commit, the running executable
        // may have been replaced: the launcher must start again.
        m_bRestartRequired = !m_bInhibitChecksum;
        m_bUpdateFinished = m_bInhibitChecksum;
        *pnResult = EnterBackgroundLoop();
        return true;
    }
    if (BStopRequested())
    {
        *pnResult = 0;
        return true;
    }
    ShowStepFailure();
    return false;
}

bool CFerroUpdater::BVerifyInstallation(int *pnResult)
{
    // Sizes, or after an unclean shutdown (and when asked) contents; damaged files are
    // installed again from the packages that hold them where that is possible.
    SetProgress(-1);
    UpdateStatusLocalized("#FerroBootstrapper_InstallVerify", "Verifying installation...");
    if (m_bVerifyContentsRequested.exchange(false))
    {
        std::vector<InstalledFile_t> vecDamaged;
        bool bStopped = false;
        if (BVerifyInstalledContents(&vecDamaged, &bStopped) ||
            (!bStopped && BRepairInstalledFiles(vecDamaged)))
        {
            m_bUpdateFinished = true;
            *pnResult = EnterBackgroundLoop();
            return true;
        }
        if (bStopped || m_bShutdownRequested)
        {
            *pnResult = 0;
            return true;
        }
    }
    else if (BVerifyInstalledFiles(true))
    {
        m_bUpdateFinished = true;
        *pnResult = EnterBackgroundLoop();
        return true;
    }
    return false;
}

int CFerroUpdater::DownloadAndInstallWholeBuild()
{
    // The installation is damaged or missing.
    ShowWindowOnce();
    if (m_bOffline)
    {
        SetUpdateError(LocalizeUpdaterText("#FerroBootstrapper_OfflineAndNeedUpdate",
                                           "Ferro needs to be online to update, but was set to offline mode.")
                           .Get(),
                       true);
        m_bUpdateFinished = true;
        return -1;
    }

    SetProgress(0);
    UpdateStatusLocalized("#FerroBootstrapper_UpdateDownload", "Downloading Update...");
    if (!BCheckForUpdate(true))
    {
        if (BStopRequested())
            return 0;
        // The text says what to do in general; the cause shown before it says what went wrong.
        SetFatalErrorWithCause(LocalizeUpdaterText("#FerroBootstrapper_NoNetwork",
                                                   "Ferro needs to be online to update.  Please confirm your "
                                                   "network connection and try again.")
                                   .Get());
        return -1;
    }

    // A failed installation still launches what is there.
    SetProgress(-1);
    if (BApplyUpdate())
    {
        m_bRestartRequired = !m_bInhibitChecksum;
        m_bUpdateFinished = m_bInhibitChecksum;
    }
    else
    {
        if (BStopRequested())
            return 0;
        ShowStepFailure();
        m_bUpdateFinished = true;
    }
    return EnterBackgroundLoop();
}

int CFerroUpdater::BackgroundUpdateLoop()
{
    SetName("FerroUpdater");
    CUniformRandomStream &random = GetUniformRandomStream();
    const bool bPublic = m_eUniverse == k_EUniversePublic;
    int nInterval = bPublic ? random.RandomInt(k_nFirstPublicIntervalMin, k_nFirstPublicIntervalMax)
                            : k_nFirstOtherInterval;
    if (m_bOffline)
        return 0;

    for (;;)
    {
        m_bCheckingForUpdates = false;
        // A shutdown signals the event; the flag also catches one that came before the
        // wait and whose signal a wake-up already consumed.
        m_WakeEvent.Wait((uint32)nInterval * 1000u);
        if (m_bShutdownRequested)
            return 0;

        m_bCheckingForUpdates = true;
        // A check writes archives and the pending manifest: not while another launcher
        // works on the installation. It comes again at the next interval.
        if (!BLockInstallation(false))
        {
            if (m_bShutdownRequested)
                return 0;
            Log("Background update check skipped: another launcher is updating this installation");
        }
        else if (m_bVerifyContentsRequested.exchange(false))
        {
            Log("Background update loop verifying the installation. . .");
            BackgroundVerifyAndRepair();
        }
        else
        {
            Log("Background update loop checking for update. . .");
            BCheckForUpdate(false);
        }
        UnlockInstallation();

        nInterval = bPublic ? random.RandomInt(k_nPublicIntervalMin, k_nPublicIntervalMax) : k_nOtherInterval;
    }
}

void CFerroUpdater::BackgroundVerifyAndRepair()
{
    std::vector<InstalledFile_t> vecDamaged;
    bool bStopped = false;
    if (BVerifyInstalledContents(&vecDamaged, &bStopped) || bStopped || BRepairInstalledFiles(vecDamaged))
        return;
    if (m_bShutdownRequested || m_bOffline)
        return;
    // What the packages could not put right is installed whole by the next start: the build
    // becomes a pending update (a background check never installs while the client runs).
    Log("The installation cannot be repaired while the client runs: the next start installs the build again");
    BCheckForUpdate(true);
}

void CFerroUpdater::RequestShutdown()
{
    Log("Shutdown");
    // The thread must be done with the HTTP client before the client goes: a check in
    // progress ends at once (its pause between polls is cut short), the background wait
    // too. It never waits for the main thread, so the wait below is short; it
    // is bounded all the same, in real time, in case the thread is inside a long file
    // operation.
    m_bShutdownRequested = true;
    m_ShutdownEvent.Set();
    m_WakeEvent.Set();
    bool bThreadEnded = BIsCurrentThread() || Join(k_msShutdownJoinTimeout);

    if (m_pHTTPClient)
    {
        // Shutdown completes every request still open (failed), so a thread that is still
        // polling finds its handles complete; the handles keep what they point to alive.
        m_pHTTPClient->Shutdown();
        if (bThreadEnded)
        {
            delete m_pHTTPClient;
            m_pHTTPClient = nullptr;
        }
        else
        {
            // Still in use by the thread: the destructor deletes it after joining.
            Log("Updater thread still busy at shutdown; keeping the HTTP client until it ends");
        }
    }
}

void CFerroUpdater::WakeUp()
{
    if (m_bShutdownRequested)
        return;
    m_WakeEvent.Set();
    if (!IsAlive() && !(m_bInhibitAll && m_bOffline))
        Start();
}
