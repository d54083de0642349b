// The update check: the signed manifest of the universe and beta, the archives it names
// that are missing here, their parallel download, and the pending manifest that the
// installation consumes.
//
// Runs on the updater thread. The HTTP client's work happens on the main thread, which
// pumps the frame loop; this thread only sends requests and polls their handles, pausing on
// the clock between polls. A shutdown request cuts the pause short and ends the check at
// once, as the user's Cancel does at the next poll, so the thread never waits for
// completions that the main thread, busy shutting down, will no longer deliver.
#include "ferroexe/ferroupdater.h"

#include "crypto/manifestverify.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/clock.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"
#include "http/httpclient.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace
{
// The manifest request shows the window only when it takes this long, so that a quick
// check on start-up does not flash it.
const uint64 k_usShowWindowAfter = 1000000;
const uint32 k_msManifestPoll = 500;
// How often a pause looks whether what it waits for is done.
const uint32 k_msDoneLook = 10;
// Byte counts of the progress text are shown in units of 1000.
const uint64 k_cubPerKB = 1000;
} // namespace

bool CFerroUpdater::BStopRequested()
{
    if (m_bShutdownRequested)
        return true;
    return m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled();
}

void CFerroUpdater::ShowWindowOnce()
{
    if (m_bWindowShown)
        return;
    m_bWindowShown = true;
    if (m_pUpdateStatusUI)
        m_pUpdateStatusUI->BShowWindow();
}

void CFerroUpdater::SetProgress(int nPercent)
{
    if (m_pUpdateStatusUI)
        m_pUpdateStatusUI->SetProgress(nPercent);
}

void CFerroUpdater::SleepBetweenPolls(uint32 unMilliseconds)
{
    m_ShutdownEvent.Wait(unMilliseconds);
}

void CFerroUpdater::PauseUnlessDone(uint32 unMilliseconds, const std::function<bool()> &fnDone)
{
    const uint64 ulEnd = Clock_GetTicks() + Clock_MicrosecondsToTicks(unMilliseconds * 1000ull);
    while (!fnDone() && !BStopRequested() && Clock_GetTicks() < ulEnd)
        SleepBetweenPolls(k_msDoneLook);
}

KeyValues *CFerroUpdater::DownloadManifest(const DownloadLocation_t &location, int *pnHTTPStatus)
{
    *pnHTTPStatus = 0;
    CUtlString strBeta = GetClientBeta();
    char rgchURL[1024];
    Q_snprintf(rgchURL, sizeof(rgchURL), "%s%s%s%s%s", location.m_strURLPath.Get(), "arvo_launcher_",
               strBeta.Get(), strBeta.IsEmpty() ? "" : "_", FERRO_PLATFORM_TAG);

    CHTTPClientRequest *pRequest =
        new CHTTPClientRequest(k_EHTTPMethodGET, location.m_strManifestHost.Get(), rgchURL, false);
    // A trickle would keep the check waiting for hours: each byte re-arms the time-out.
    pRequest->m_cubLowSpeedLimit = EffectiveLowSpeedLimit(m_DownloadSettings, 1);
    pRequest->m_unLowSpeedWindowSeconds = m_DownloadSettings.m_unLowSpeedWindowSeconds;
    CHTTPRequestHandle *pHandle = m_pHTTPClient->SendHTTPRequest(pRequest);
    uint64 ulStart = Clock_GetTicks();
    const uint64 ulShowAfter = Clock_MicrosecondsToTicks(k_usShowWindowAfter);

    while (!pHandle->BCompleted())
    {
        uint64 ulNow = Clock_GetTicks();
        if (ulNow < ulStart)
            ulStart = ulNow; // the clock went back: the deadline moves with it
        if (ulNow - ulStart >= ulShowAfter)
            ShowWindowOnce();
        SetProgress((int)pHandle->GetPercentComplete());
        if (m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled())
        {
            Log("user canceled update check\n");
            pHandle->Release();
            pRequest->Release();
            return nullptr;
        }
        if (m_bShutdownRequested)
        {
            Log("update check stopped: the launcher is shutting down\n");
            pHandle->Release();
            pRequest->Release();
            return nullptr;
        }
        // A manifest that has arrived, or a cancel, is not kept waiting for the rest of
        // the interval: every update check passes through here.
        PauseUnlessDone(k_msManifestPoll, [pHandle] { return pHandle->BCompleted(); });
    }

    KeyValues *pManifest = nullptr;
    // A request that got no complete response has no status of its own.
    CHTTPClientResponse *pResponse = pHandle->AccessResponse();
    *pnHTTPStatus = pHandle->m_bSucceeded && pResponse ? (int)pResponse->GetStatusCode() : 0;
    if (*pnHTTPStatus == k_EHTTPStatusCode200OK)
    {
        CUtlBuffer &bufBody = pResponse->GetBodyBuffer();
        bufBody.PutChar('\0');
        pManifest = LoadManifestFromBuffer((const char *)bufBody.Base());
        if (!pManifest)
            Log("Failed to load manifest\n");
    }
    else
    {
        Log("Download failed: http error %d\n", *pnHTTPStatus);
        if (pResponse && pResponse->m_bTransferTooSlow)
            Log("The manifest arrived slower than %u bytes per second for %u seconds\n",
                pRequest->m_cubLowSpeedLimit, pRequest->m_unLowSpeedWindowSeconds);
    }
    pHandle->Release();
    pRequest->Release();
    return pManifest;
}

bool CFerroUpdater::BGetUsableDownloadLocation(DownloadLocation_t *pLocation)
{
    *pLocation = GetDownloadLocation(m_eUniverse);
    if (pLocation->BIsUsable())
        return true;
    CUtlString strText;
    strText.Format("Failed to determine download location for universe %d", (int)m_eUniverse);
    SetUpdateError(strText.Get(), false);
    return false;
}

bool CFerroUpdater::BCheckForUpdate(bool bSaveManifest, const std::unordered_set<std::string> *pOnlyPackages)
{
    // What the check needs before it starts.
    if (!BHasFreeDiskSpaceForUpdate())
        return false;
    DownloadLocation_t location;
    if (!BGetUsableDownloadLocation(&location))
        return false;
    if (!m_pHTTPClient)
    {
        SetUpdateError("HTTP client not initialized", false);
        return false;
    }

    m_cubToDownload = 0;
    m_cubDownloadedComplete = 0;
    m_cubDownloadedInFlight = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strFailureCause.Clear();
    }
    CUtlString strPackageDir = GetPackageDir();
    const bool bResult =
        BFetchManifestAndPackages(location, strPackageDir.Get(), bSaveManifest, pOnlyPackages);
    // From the package folder on, every way out of the check ends its status the same way.
    UpdateStatusLocalized("#FerroBootstrapper_DownloadComplete", "Download Complete.");
    return bResult;
}

bool CFerroUpdater::BFetchManifestAndPackages(const DownloadLocation_t &location, const char *pchPackageDir,
                                              bool bSaveManifest,
                                              const std::unordered_set<std::string> *pOnlyPackages)
{
    if (!BCreatePackageDirForCheck(pchPackageDir))
        return false;
    CKeyValuesAutoDelete manifest(FetchVerifiedManifest(location));
    if (!manifest.Get())
        return false;

    // What is missing (of the packages asked for, when a repair asks for some only).
    CUtlVector<CUtlString> vecDownloads;
    uint64 cubToDownload = 0;
    BuildDownloadListIn(location, manifest.Get(), pchPackageDir, vecDownloads, &cubToDownload, pOnlyPackages);
    m_cubToDownload = cubToDownload;
    if (vecDownloads.Count() == 0 && !bSaveManifest)
        return true;
    if (!pOnlyPackages)
        StartUnpackPipeline(manifest.Get(), pchPackageDir, vecDownloads);
    if (!BDownloadPackages(location, manifest.Get(), pchPackageDir, vecDownloads))
    {
        DiscardUnpackPipeline();
        return false;
    }

    // Everything is here: the manifest becomes the pending update. Some packages only are
    // no update: they repair the installed build.
    if (pOnlyPackages)
        return true;
    if (BSavePendingManifest(manifest.Get(), pchPackageDir))
        return true;
    DiscardUnpackPipeline();
    return false;
}

bool CFerroUpdater::BCreatePackageDirForCheck(const char *pchPackageDir)
{
    if (m_pFileOps->BIsDirectory(pchPackageDir) || m_pFileOps->BCreateDirectory(pchPackageDir))
        return true;
    int nErrno = errno;
    char rgchFallback[1024];
    Q_snprintf(rgchFallback, sizeof(rgchFallback), "Couldn't create cache directory %s, got error %d",
               pchPackageDir, nErrno);
    CKeyValuesAutoDelete params("params");
    params->SetString("dirname", pchPackageDir);
    params->SetInt("errno", nErrno);
    CUtlString strText = LocalizeUpdaterText("#FerroBootstrapper_FailedMkdir", rgchFallback, params.Get());
    SetUpdateError(strText.Get(), false);
    SetFailureCause(DescribeWriteFailure(pchPackageDir, nErrno).Get());
    return false;
}

KeyValues *CFerroUpdater::FetchVerifiedManifest(const DownloadLocation_t &location)
{
    UpdateStatusLocalized("#FerroBootstrapper_UpdateChecking", "Checking for available update...");
    int nHTTPStatus = 0;
    // The beta whose manifest is asked for, which the manifest must say it is for.
    const CUtlString strBeta = GetClientBeta();
    CKeyValuesAutoDelete manifest(DownloadManifest(location, &nHTTPStatus));
    if (!manifest.Get() && nHTTPStatus == k_EHTTPStatusCode200OK && !BStopRequested())
    {
        // An answer came, but not a manifest: saying "http error 200" would blame the network.
        SetUpdateError(LocalizeUpdaterText("#FerroBootstrapper_ManifestUnreadable",
                                           "The update manifest from the content service could not be read.")
                           .Get(),
                       false);
        return nullptr;
    }
    if (!manifest.Get())
    {
        char rgchFallback[128];
        Q_snprintf(rgchFallback, sizeof(rgchFallback), "Download failed: http error %d", nHTTPStatus);
        CKeyValuesAutoDelete params("params");
        params->SetInt("errno", nHTTPStatus);
        CUtlString strText =
            LocalizeUpdaterText("#FerroBootstrapper_FailedDownload", rgchFallback, params.Get());
        SetUpdateError(strText.Get(), false);
        return nullptr;
    }

    // Only a manifest signed for this build, in the shape the updater reads, is believed; and
    // only one of this channel, neither stale nor older than the installed one, is used.
    if (!BVerifyManifestTree(manifest.Get(), "download") ||
        !BAcceptManifest(manifest.Get(), strBeta.Get(), "download"))
    {
        SetUpdateError(
            LocalizeUpdaterText("#FerroBootstrapper_FailedManifestVerify", "Failed to verify manifest").Get(),
            false);
        return nullptr;
    }
    return manifest.Release();
}

void CFerroUpdater::ShowDownloadProgress()
{
    uint64 cubDone = m_cubDownloadedComplete + m_cubDownloadedInFlight;
    uint64 cubTotal = m_cubToDownload;
    CUtlString strDone = FormatLocalizedNumber((int64)(cubDone / k_cubPerKB));
    CUtlString strTotal = FormatLocalizedNumber((int64)(cubTotal / k_cubPerKB));
    char rgchFallback[256];
    Q_snprintf(rgchFallback, sizeof(rgchFallback), "Downloading update (%s of %s KB)...", strDone.Get(),
               strTotal.Get());
    CKeyValuesAutoDelete params("params");
    params->SetString("bytes", strDone.Get());
    params->SetString("size", strTotal.Get());
    CUtlString strText =
        LocalizeUpdaterText("#FerroBootstrapper_UpdateDownloading", rgchFallback, params.Get());
    UpdateStatusText(strText.Get());
    SetProgress(cubTotal ? (int)((double)cubDone / (double)cubTotal * 100.0) : -1);
}

bool CFerroUpdater::BSavePendingManifest(KeyValues *pManifest, const char *pchPackageDir)
{
    char rgchPending[MAX_PATH_BYTES];
    BuildPackageBasePath(rgchPending, sizeof(rgchPending), pchPackageDir, true);
    if (BSaveManifestFile(pManifest, rgchPending))
        return true;
    SetUpdateError(
        LocalizeUpdaterText("#FerroBootstrapper_FailedManifestSave", "Failed to save manifest").Get(), false);
    return false;
}
