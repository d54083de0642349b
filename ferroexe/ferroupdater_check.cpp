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
const uint32 k_msPackagePoll = 250;
// A pause between package passes ends early when a download completes, looking this often:
// a finished body is saved and released at once instead of waiting out the pause in memory.
const uint32 k_msCompletionLook = 10;
// Requests sent and not yet saved, beyond the HTTP client's connections per host: one
// body being saved and one more waiting keep every connection busy. Bodies live in memory
// until they are saved, so sending every request at once would let finished bodies pile
// up whenever the disk is slower than the network.
const uint32 k_cExtraOutstandingDownloads = 2;
const uint32 k_unPackageNetworkTimeoutSeconds = 300;
// Byte counts of the progress text are shown in units of 1000.
const uint64 k_cubPerKB = 1000;
// A finished archive is written under this suffix and renamed to its own name once it is
// whole, so that an interrupted write never leaves a short archive under the final name.
const char k_pchPartialSuffix[] = ".part";

// One package request in flight: its handle (one reference) and its entry in the
// download list.
struct PendingDownload_t
{
    CHTTPRequestHandle *m_pHandle;
    int m_iDownload;
};

// The package name of a download entry: its file name up to the first dot
// ("/client/base.zip.<sha1>" gives "base").
std::string PackageNameOfEntry(const char *pchEntry)
{
    std::string str = Q_UnqualifiedFileName(pchEntry);
    size_t iDot = str.find('.');
    return iDot == std::string::npos ? str : str.substr(0, iDot);
}

// The file name of a download entry (the part after its last slash).
const char *FileNameOfEntry(const char *pchEntry)
{
    const char *pchSlash = strrchr(pchEntry, '/');
    return pchSlash ? pchSlash + 1 : pchEntry;
}
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

namespace
{
bool BAnyCompleted(const std::vector<PendingDownload_t> &vecPending)
{
    for (const PendingDownload_t &pending : vecPending)
    {
        if (pending.m_pHandle->BCompleted())
            return true;
    }
    return false;
}
} // namespace

KeyValues *CFerroUpdater::DownloadManifest(const DownloadLocation_t &location, int *pnHTTPStatus)
{
    *pnHTTPStatus = 0;
    CUtlString strBeta = GetClientBeta();
    char rgchURL[1024];
    Q_snprintf(rgchURL, sizeof(rgchURL), "%s%s%s%s%s", location.m_strURLPath.Get(), "arvo_launcher_",
               strBeta.Get(), strBeta.IsEmpty() ? "" : "_", FERRO_PLATFORM_TAG);

    CHTTPClientRequest *pRequest =
        new CHTTPClientRequest(k_EHTTPMethodGET, location.m_strManifestHost.Get(), rgchURL, false);
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
        SleepBetweenPolls(k_msManifestPoll);
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
    }
    pHandle->Release();
    pRequest->Release();
    return pManifest;
}

bool CFerroUpdater::BSaveDownloadedPackage(const char *pchPackageDir, const char *pchFileName,
                                           const CUtlBuffer &bufBody)
{
    CUtlString strTarget = JoinPath(pchPackageDir, pchFileName);
    CUtlString strPartial;
    strPartial.Format("%s%s", strTarget.Get(), k_pchPartialSuffix);
    if (!BWriteWholeFile(*m_pFileOps, strPartial.Get(), bufBody.Base(), (size_t)bufBody.TellPut(), false))
        return false;
    if (!m_pFileOps->BRenameReplace(strPartial.Get(), strTarget.Get()))
    {
        // The caller names the cause from errno: the rename's, not the clean-up's.
        int nErrno = errno;
        BDeleteFileWithRetry(*m_pFileOps, strPartial.Get());
        errno = nErrno;
        return false;
    }
    return true;
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

namespace
{
// The package requests in flight of one check; whatever is still in flight when the check
// ends is released with it.
class CPendingDownloads
{
public:
    CPendingDownloads() = default;
    ~CPendingDownloads()
    {
        for (PendingDownload_t &pending : m_vecPending)
            pending.m_pHandle->Release();
    }
    CPendingDownloads(const CPendingDownloads &) = delete;
    CPendingDownloads &operator=(const CPendingDownloads &) = delete;

    void Add(CHTTPRequestHandle *pHandle, int iDownload) { m_vecPending.push_back({pHandle, iDownload}); }
    void ReleaseAt(int iPending)
    {
        m_vecPending[(size_t)iPending].m_pHandle->Release();
        m_vecPending.erase(m_vecPending.begin() + iPending);
    }
    std::vector<PendingDownload_t> m_vecPending;
};
} // namespace

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
    if (!BDownloadPackages(location, manifest.Get(), pchPackageDir, vecDownloads))
        return false;

    // Everything is here: the manifest becomes the pending update. Some packages only are
    // no update: they repair the installed build.
    if (pOnlyPackages)
        return true;
    return BSavePendingManifest(manifest.Get(), pchPackageDir);
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

bool CFerroUpdater::BDownloadPackages(const DownloadLocation_t &location, KeyValues *pManifest,
                                      const char *pchPackageDir, const CUtlVector<CUtlString> &vecDownloads)
{
    // The downloads run in parallel, as many as the HTTP client carries per host and a few
    // more; each one saved makes room for the next.
    if (vecDownloads.Count() > 0)
    {
        ShowWindowOnce();
        m_bDownloadingPackages = true;
    }
    const size_t cMaxOutstanding =
        (size_t)m_pHTTPClient->m_unMaxInFlightRequestsPerHost + k_cExtraOutstandingDownloads;
    CPendingDownloads pending;
    int iNextToSend = 0;
    auto fnSendMore = [&]()
    {
        while (iNextToSend < vecDownloads.Count() && pending.m_vecPending.size() < cMaxOutstanding)
        {
            CHTTPClientRequest *pRequest = new CHTTPClientRequest(
                k_EHTTPMethodGET, location.m_strPackageHost.Get(), vecDownloads[iNextToSend].Get(), false);
            pRequest->m_unNetworkTimeoutSeconds = k_unPackageNetworkTimeoutSeconds;
            pending.Add(m_pHTTPClient->SendHTTPRequest(pRequest), iNextToSend);
            pRequest->Release();
            ++iNextToSend;
        }
    };
    fnSendMore();

    // Poll passes until every download is saved, one fails, or the check is stopped.
    while (!pending.m_vecPending.empty())
    {
        uint64 cubInFlight = 0;
        m_cubDownloadedInFlight = 0;
        for (int iPending = (int)pending.m_vecPending.size() - 1; iPending >= 0; --iPending)
        {
            const PendingDownload_t download = pending.m_vecPending[(size_t)iPending];
            if (download.m_iDownload < 0 || download.m_iDownload >= vecDownloads.Count())
            {
                CUtlString strText;
                strText.Format("Got download outside of range expected (%d,%d)", download.m_iDownload,
                               vecDownloads.Count());
                SetUpdateError(strText.Get(), false);
                pending.ReleaseAt(iPending);
                continue;
            }
            if (!download.m_pHandle->BCompleted())
            {
                // Only the atomic progress counter: the body is being filled on the main thread.
                if (CHTTPClientResponse *pResponse = download.m_pHandle->AccessResponse())
                    cubInFlight += pResponse->m_unBodyBytesReceived.load();
                continue;
            }
            if (!BKeepDownloadedPackage(pManifest, pchPackageDir, vecDownloads[download.m_iDownload].Get(),
                                        download.m_pHandle))
                return false;
            // The body is on disk: its memory goes now, not at the end of the check.
            pending.ReleaseAt(iPending);
        }
        m_cubDownloadedInFlight = cubInFlight;
        ShowDownloadProgress();

        if (BStopRequested())
            return false;
        fnSendMore();
        if (!pending.m_vecPending.empty())
        {
            // The pass interval, cut short by a completed download or a shutdown.
            const uint64 ulPauseEnd = Clock_GetTicks() + Clock_MicrosecondsToTicks(k_msPackagePoll * 1000ull);
            while (!BAnyCompleted(pending.m_vecPending) && Clock_GetTicks() < ulPauseEnd &&
                   !m_bShutdownRequested)
                SleepBetweenPolls(k_msCompletionLook);
        }
    }
    return true;
}

bool CFerroUpdater::BKeepDownloadedPackage(KeyValues *pManifest, const char *pchPackageDir,
                                           const char *pchEntry, CHTTPRequestHandle *pHandle)
{
    std::string strPackage = PackageNameOfEntry(pchEntry);
    CHTTPClientResponse *pResponse = pHandle->AccessResponse();
    int nStatus = 0;
    int cubBody = 0;
    if (pHandle->m_bSucceeded && pResponse)
    {
        nStatus = (int)pResponse->GetStatusCode();
        cubBody = pResponse->GetBodyBuffer().TellPut();
    }
    KeyValues *pPackage = pManifest->FindKey(strPackage.c_str());
    bool bSuccess = nStatus == k_EHTTPStatusCode200OK && pPackage && cubBody >= 0 &&
                    ManifestPackageSize(pPackage) == (uint64)cubBody;
    if (!bSuccess)
    {
        CUtlString strText;
        strText.Format("Download of package (%s) failed after %d bytes (%d).", strPackage.c_str(), cubBody,
                       nStatus);
        SetUpdateError(strText.Get(), false);
        return false;
    }

    // The archive's name carries its digest: bytes that do not match it are never kept, so
    // the next check asks for them again.
    const CUtlBuffer &bufBody = pResponse->GetBodyBuffer();
    const char *pchFileName = FileNameOfEntry(pchEntry);
    if (!BCheckPackageArchive(pPackage, pchFileName, bufBody.Base(), (size_t)cubBody))
    {
        CKeyValuesAutoDelete params("params");
        params->SetString("pkgName", pchFileName);
        char rgchFallback[512];
        Q_snprintf(rgchFallback, sizeof(rgchFallback), "Corrupt package file (%s)", pchFileName);
        CUtlString strText =
            LocalizeUpdaterText("#FerroBootstrapper_CorruptPackageFile", rgchFallback, params.Get());
        SetUpdateError(strText.Get(), false);
        return false;
    }
    if (!BSaveDownloadedPackage(pchPackageDir, pchFileName, bufBody))
    {
        int nErrno = errno;
        CUtlString strText;
        strText.Format("Saving package (%s) failed.", strPackage.c_str());
        SetUpdateError(strText.Get(), false);
        SetFailureCause(DescribeWriteFailure(JoinPath(pchPackageDir, pchFileName).Get(), nErrno).Get());
        return false;
    }
    m_cubDownloadedComplete += (uint64)cubBody;
    return true;
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
