// The package downloads of an update check: every missing archive streamed into its
// ".part" file (bounded memory for any size), continued with a Range request where an
// earlier attempt stopped, tried again after network failures with a growing pause, and
// renamed to its own name once its digest matches.
//
// Runs on the updater thread; the bodies are written on the main thread by each
// download's sink (packagedownloadsink.h) while this thread polls the handles.
#include "ferroexe/ferroupdater.h"

#include "crypto/manifestverify.h"
#include "crypto/sha1.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/packagedownloadsink.h"
#include "foundation/clock.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "http/httpclient.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

// One package of the download list, through all its attempts.
struct PackageTransfer_t
{
    int m_iDownload = 0;
    std::string m_strEntry;    // the URL path
    std::string m_strPackage;  // the package name
    std::string m_strFileName; // the archive's name
    uint64 m_cubPackage = 0;
    KeyValues *m_pPackage = nullptr;         // its block in the manifest
    CPackageDownloadSink *m_pSink = nullptr; // one reference
    CHTTPRequestHandle *m_pHandle = nullptr; // one reference while an attempt is in flight
    uint32 m_cAttempts = 0;
    uint64 m_ulRetryAt = 0; // ticks before which the next attempt waits
    bool m_bKept = false;
    bool m_bWholeOnDisk = false; // the part had every byte before the attempt
};

namespace
{
const uint32 k_msPackagePoll = 250;
const uint32 k_unPackageNetworkTimeoutSeconds = 300;
// A download is written under this suffix and renamed to its own name once it is whole and
// its digest matches, so an archive under its final name is always a good one.
const char k_pchPartialSuffix[] = ".part";

// The transfers of one check; whatever is in flight when the check ends is released.
class CPackageTransfers
{
public:
    CPackageTransfers() = default;
    ~CPackageTransfers()
    {
        for (PackageTransfer_t &transfer : m_vecTransfers)
        {
            if (transfer.m_pHandle)
            {
                transfer.m_pSink->Abandon();
                transfer.m_pHandle->Release();
            }
            if (transfer.m_pSink)
                transfer.m_pSink->Release();
        }
    }
    CPackageTransfers(const CPackageTransfers &) = delete;
    CPackageTransfers &operator=(const CPackageTransfers &) = delete;

    size_t CountInFlight() const
    {
        size_t c = 0;
        for (const PackageTransfer_t &transfer : m_vecTransfers)
            c += transfer.m_pHandle ? 1 : 0;
        return c;
    }
    bool BAllKept() const
    {
        for (const PackageTransfer_t &transfer : m_vecTransfers)
        {
            if (!transfer.m_bKept)
                return false;
        }
        return true;
    }
    bool BAnyCompleted() const
    {
        for (const PackageTransfer_t &transfer : m_vecTransfers)
        {
            if (transfer.m_pHandle && transfer.m_pHandle->BCompleted())
                return true;
        }
        return false;
    }
    std::vector<PackageTransfer_t> m_vecTransfers;
};

std::string PackageNameOfFile(const std::string &strFileName)
{
    size_t iDot = strFileName.find('.');
    return iDot == std::string::npos ? strFileName : strFileName.substr(0, iDot);
}

CUtlString Formatted(const char *pchFormat, ...) FERRO_PRINTF(1, 2);
CUtlString Formatted(const char *pchFormat, ...)
{
    char rgch[1024];
    va_list args;
    va_start(args, pchFormat);
    Q_vsnprintf(rgch, sizeof(rgch), pchFormat, args);
    va_end(args);
    return CUtlString(rgch);
}

unsigned long long ULL(uint64 ul)
{
    return (unsigned long long)ul;
}
} // namespace

bool CFerroUpdater::BDownloadPackages(const DownloadLocation_t &location, KeyValues *pManifest,
                                      const char *pchPackageDir, const CUtlVector<CUtlString> &vecDownloads)
{
    CPackageTransfers transfers;
    for (int i = 0; i < vecDownloads.Count(); ++i)
    {
        PackageTransfer_t transfer;
        transfer.m_iDownload = i;
        transfer.m_strEntry = vecDownloads[i].Get();
        transfer.m_strFileName = Q_UnqualifiedFileName(vecDownloads[i].Get());
        transfer.m_strPackage = PackageNameOfFile(transfer.m_strFileName);
        KeyValues *pPackage = pManifest->FindKey(transfer.m_strPackage.c_str());
        transfer.m_pPackage = pPackage;
        transfer.m_cubPackage = pPackage ? ManifestPackageSize(pPackage) : 0;
        std::string strPart = JoinPath(pchPackageDir, transfer.m_strFileName.c_str()).Get();
        transfer.m_pSink =
            new CPackageDownloadSink(*m_pFileOps, strPart + k_pchPartialSuffix, transfer.m_cubPackage);
        transfers.m_vecTransfers.push_back(transfer);
    }
    if (!transfers.m_vecTransfers.empty())
    {
        ShowWindowOnce();
        m_bDownloadingPackages = true;
    }
    // As many requests at once as the HTTP client carries per host: the bodies go to disk,
    // so a few more waiting would only hold connections' worth of nothing.
    const size_t cMaxInFlight = m_pHTTPClient->m_unMaxInFlightRequestsPerHost;

    while (!transfers.BAllKept())
    {
        uint64 cubInFlight = 0;
        const uint64 ulNow = Clock_GetTicks();
        for (PackageTransfer_t &transfer : transfers.m_vecTransfers)
        {
            if (transfer.m_bKept)
                continue;
            if (!transfer.m_pHandle && !transfer.m_bWholeOnDisk && ulNow >= transfer.m_ulRetryAt &&
                transfers.CountInFlight() < cMaxInFlight)
                StartPackageAttempt(location, transfer);
            if (transfer.m_bWholeOnDisk || (transfer.m_pHandle && transfer.m_pHandle->BCompleted()))
            {
                EPackageAttempt eAttempt = JudgePackageAttempt(transfer, pchPackageDir);
                if (eAttempt == k_EPackageAttemptFail)
                    return false;
                if (eAttempt == k_EPackageAttemptKept)
                {
                    transfer.m_bKept = true;
                    m_cubDownloadedComplete += transfer.m_cubPackage;
                    continue;
                }
            }
            // Bytes on disk count as downloaded, those of earlier attempts and runs too.
            cubInFlight += transfer.m_pSink->CubOnDisk();
        }
        m_cubDownloadedInFlight = cubInFlight;
        ShowDownloadProgress();
        if (BStopRequested())
            return false;
        if (transfers.BAllKept())
            break;
        // The pass interval, cut short by a completed attempt, a cancel or a shutdown.
        PauseUnlessDone(k_msPackagePoll, [&transfers] { return transfers.BAnyCompleted(); });
    }
    m_cubDownloadedInFlight = 0;
    return true;
}

void CFerroUpdater::StartPackageAttempt(const DownloadLocation_t &location, PackageTransfer_t &transfer)
{
    ++transfer.m_cAttempts;
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, location.m_strPackageHost.Get(),
                                                          transfer.m_strEntry.c_str(), false);
    pRequest->m_unNetworkTimeoutSeconds = k_unPackageNetworkTimeoutSeconds;
    pRequest->m_cubLowSpeedLimit =
        EffectiveLowSpeedLimit(m_DownloadSettings, m_pHTTPClient->m_unMaxInFlightRequestsPerHost);
    pRequest->m_unLowSpeedWindowSeconds = m_DownloadSettings.m_unLowSpeedWindowSeconds;
    bool bDiscarded = false;
    const uint64 cubOnDisk = transfer.m_pSink->PrepareRequest(pRequest, &bDiscarded);
    if (bDiscarded)
        Log("Package %s: the partial download was longer than the package's %llu bytes; discarded\n",
            transfer.m_strPackage.c_str(), ULL(transfer.m_cubPackage));
    if (transfer.m_cubPackage > 0 && cubOnDisk == transfer.m_cubPackage)
    {
        // Every byte is here already (a run that ended before the digest check).
        transfer.m_bWholeOnDisk = true;
        pRequest->Release();
        return;
    }
    if (cubOnDisk > 0)
        Log("Package %s: continuing the partial download from byte %llu of %llu\n",
            transfer.m_strPackage.c_str(), ULL(cubOnDisk), ULL(transfer.m_cubPackage));
    pRequest->SetBodySink(transfer.m_pSink);
    transfer.m_pHandle = m_pHTTPClient->SendHTTPRequest(pRequest);
    pRequest->Release();
}

EPackageAttempt CFerroUpdater::JudgePackageAttempt(PackageTransfer_t &transfer, const char *pchPackageDir)
{
    CPackageDownloadSink &sink = *transfer.m_pSink;
    int nStatus = 0;
    uint64 cubBody = sink.CubThisAttempt();
    bool bTooSlow = false;
    if (transfer.m_pHandle)
    {
        CHTTPClientResponse *pResponse = transfer.m_pHandle->AccessResponse();
        if (transfer.m_pHandle->m_bSucceeded && pResponse)
            nStatus = (int)pResponse->GetStatusCode();
        if (pResponse && cubBody == 0)
            cubBody = (uint64)pResponse->GetBodyBuffer().TellPut();
        bTooSlow = pResponse && pResponse->m_bTransferTooSlow;
        transfer.m_pHandle->Release();
        transfer.m_pHandle = nullptr;
    }
    const bool bWritten = sink.FinishAttempt();
    const char *pchPackage = transfer.m_strPackage.c_str();
    const CUtlString strDownloadFailed = Formatted("Download of package (%s) failed after %llu bytes (%d).",
                                                   pchPackage, ULL(cubBody), nStatus);

    if (!bWritten || sink.GetFailure() == CPackageDownloadSink::k_EFailureWrite)
    {
        const int nErrno = sink.GetWriteErrno();
        sink.DiscardPart();
        SetUpdateError(Formatted("Saving package (%s) failed.", pchPackage).Get(), false);
        // Named by the archive the player may look for, not by its temporary name.
        SetFailureCause(
            DescribeWriteFailure(JoinPath(pchPackageDir, transfer.m_strFileName.c_str()).Get(), nErrno)
                .Get());
        return k_EPackageAttemptFail;
    }
    if (sink.GetFailure() == CPackageDownloadSink::k_EFailureTooLong)
    {
        sink.DiscardPart();
        return FailPackage(strDownloadFailed,
                           Formatted("Package %s could not be downloaded: the content service sent more than "
                                     "the %llu bytes its signed manifest gives.",
                                     pchPackage, ULL(transfer.m_cubPackage)));
    }
    if (sink.GetFailure() == CPackageDownloadSink::k_EFailureRangeMismatch)
    {
        // The part cannot be continued from this answer: the next attempt asks for it all.
        sink.DiscardPart();
        return RetryOrFail(
            transfer, "the answer did not continue the partial download", strDownloadFailed,
            Formatted("Package %s could not be downloaded: the content service's answers did not "
                      "fit the partial download.",
                      pchPackage));
    }
    const bool bBodyStatus =
        nStatus == k_EHTTPStatusCode200OK || nStatus == k_EHTTPStatusCode206PartialContent;
    if (transfer.m_bWholeOnDisk || (bBodyStatus && sink.CubOnDisk() == transfer.m_cubPackage))
    {
        transfer.m_bWholeOnDisk = false;
        return KeepWholePackage(transfer, pchPackageDir);
    }
    if (bBodyStatus)
        return RetryOrFail(transfer, "the body ended early", strDownloadFailed,
                           Formatted("Package %s could not be downloaded: the transfer ended early (%llu of "
                                     "%llu bytes are here).",
                                     pchPackage, ULL(sink.CubOnDisk()), ULL(transfer.m_cubPackage)));
    return JudgeFailedAnswer(transfer, nStatus, bTooSlow, strDownloadFailed);
}

EPackageAttempt CFerroUpdater::JudgeFailedAnswer(PackageTransfer_t &transfer, int nStatus, bool bTooSlow,
                                                 const CUtlString &strDownloadFailed)
{
    CPackageDownloadSink &sink = *transfer.m_pSink;
    const char *pchPackage = transfer.m_strPackage.c_str();
    if (nStatus == 0 || nStatus >= 500)
    {
        const char *pchWhy = bTooSlow  ? "the transfer was too slow"
                             : nStatus ? "a server error"
                                       : "a network failure";
        CUtlString strCause =
            bTooSlow ? Formatted("Package %s could not be downloaded: the transfer stayed below %u bytes per "
                                 "second for %u seconds.",
                                 pchPackage, EffectiveLowSpeedLimit(m_DownloadSettings, 1),
                                 m_DownloadSettings.m_unLowSpeedWindowSeconds)
                     : Formatted("Package %s could not be downloaded: %s (%llu of %llu bytes are here).",
                                 pchPackage, nStatus ? "the content service failed" : "the connection failed",
                                 ULL(sink.CubOnDisk()), ULL(transfer.m_cubPackage));
        return RetryOrFail(transfer, pchWhy, strDownloadFailed, strCause);
    }
    return FailPackage(
        strDownloadFailed,
        nStatus == k_EHTTPStatusCode404NotFound
            ? Formatted("Package %s could not be downloaded: the content service does not have it "
                        "(HTTP 404).",
                        pchPackage)
            : Formatted("Package %s could not be downloaded: the content service answered HTTP %d.",
                        pchPackage, nStatus));
}

EPackageAttempt CFerroUpdater::KeepWholePackage(PackageTransfer_t &transfer, const char *pchPackageDir)
{
    CPackageDownloadSink &sink = *transfer.m_pSink;
    const char *pchFileName = transfer.m_strFileName.c_str();
    // The archive's name carries its digest: bytes that do not match it are never kept. The
    // sink hashed them as they were written; only bytes it could not hash are read again.
    uint8 rgubSHA1[k_cubSHA1Hash];
    std::string strSHA256;
    const bool bDigests = sink.BFinalDigests(rgubSHA1, &strSHA256);
    const bool bGood =
        bDigests ? BCheckPackageDigests(transfer.m_pPackage, pchFileName, rgubSHA1, strSHA256)
                 : BCheckPackageArchiveFile(transfer.m_pPackage, pchFileName, sink.GetPartPath().c_str());
    if (!bGood)
    {
        sink.DiscardPart();
        CKeyValuesAutoDelete params("params");
        params->SetString("pkgName", pchFileName);
        CUtlString strError =
            LocalizeUpdaterText("#FerroBootstrapper_CorruptPackageFile",
                                Formatted("Corrupt package file (%s)", pchFileName).Get(), params.Get());
        return RetryOrFail(transfer, "its contents did not match their digest", strError,
                           Formatted("Package %s could not be downloaded: its contents did not match their "
                                     "digest in %u attempts.",
                                     transfer.m_strPackage.c_str(), transfer.m_cAttempts));
    }
    CUtlString strTarget = JoinPath(pchPackageDir, pchFileName);
    if (!m_pFileOps->BRenameReplace(sink.GetPartPath().c_str(), strTarget.Get()))
    {
        const int nErrno = errno;
        sink.DiscardPart();
        SetUpdateError(Formatted("Saving package (%s) failed.", transfer.m_strPackage.c_str()).Get(), false);
        SetFailureCause(DescribeWriteFailure(strTarget.Get(), nErrno).Get());
        return k_EPackageAttemptFail;
    }
    NoteVerifiedArchive(strTarget.Get());
    UnpackDownloadedArchive(strTarget.Get());
    return k_EPackageAttemptKept;
}

EPackageAttempt CFerroUpdater::RetryOrFail(PackageTransfer_t &transfer, const char *pchWhy,
                                           const CUtlString &strError, const CUtlString &strCause)
{
    if (transfer.m_cAttempts >= m_DownloadSettings.m_cPackageAttempts)
    {
        Log("Package %s: attempt %u of %u failed (%s); giving up\n", transfer.m_strPackage.c_str(),
            transfer.m_cAttempts, m_DownloadSettings.m_cPackageAttempts, pchWhy);
        return FailPackage(strError, strCause);
    }
    // The pause doubles with each retry: a line that is down for a while is not hammered.
    uint64 msPause = (uint64)m_DownloadSettings.m_msFirstRetryPause << (transfer.m_cAttempts - 1);
    Log("Package %s: attempt %u of %u failed (%s); trying again in %llu ms from byte %llu\n",
        transfer.m_strPackage.c_str(), transfer.m_cAttempts, m_DownloadSettings.m_cPackageAttempts, pchWhy,
        ULL(msPause), ULL(transfer.m_pSink->CubOnDisk()));
    transfer.m_ulRetryAt = Clock_GetTicks() + Clock_MicrosecondsToTicks(msPause * 1000);
    return k_EPackageAttemptRetry;
}

EPackageAttempt CFerroUpdater::FailPackage(const CUtlString &strError, const CUtlString &strCause)
{
    SetUpdateError(strError.Get(), false);
    SetFailureCause(strCause.Get());
    return k_EPackageAttemptFail;
}
