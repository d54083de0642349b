// Unpacking the packages of an installation into the temporary folder on the unpacking
// threads (packageunpacker.h), and the unpacking that starts while the download still
// runs: when the update is installed right after its download, each archive is unpacked
// as soon as it is here and checked, and the installation takes over what is done. Only
// the commit changes the install directory, so a failure or a cancel before it leaves the
// installation as it was, whenever it comes.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/packageunpacker.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstring>

// The packages being unpacked and the manifest their blocks belong to (gone after them).
struct UnpackRun_t
{
    CKeyValuesAutoDelete m_manifest; // a copy, when the run outlives the caller's
    std::vector<std::string> m_vecPaths;
    std::vector<std::string> m_vecNames;
    std::vector<std::string> m_vecSHA256;
    std::unique_ptr<CPackageUnpacker> m_pUnpacker;
};

void UnpackRunDeleter_t::operator()(UnpackRun_t *pRun) const
{
    delete pRun;
}

namespace
{
// A localized failure text that names the package.
CUtlString PackageText(const char *pchToken, const char *pchFallbackFormat, const char *pchPackagePath)
{
    CUtlString strFallback;
    strFallback.Format(pchFallbackFormat, pchPackagePath);
    KeyValues *pParams = new KeyValues("params");
    pParams->SetString("pkgName", pchPackagePath);
    CUtlString strText = LocalizeUpdaterText(pchToken, strFallback.Get(), pParams);
    pParams->DeleteThis();
    return strText;
}

CUtlString FailureText(EUnpackOutcome eOutcome, const char *pchPath)
{
    if (eOutcome == k_EUnpackOutcomeUnreadable)
        return PackageText("#FerroBootstrapper_FailedPackageRead", "Failed to read package (%s)", pchPath);
    if (eOutcome == k_EUnpackOutcomeCorrupt)
        return PackageText("#FerroBootstrapper_CorruptPackageFile", "Corrupt package file (%s)", pchPath);
    return PackageText("#FerroBootstrapper_FailedPackageUnzip", "Failed to unzip package (%s)", pchPath);
}
} // namespace

void CFerroUpdater::DescribeUnpackRun(UnpackRun_t *pRun, KeyValues *pManifest,
                                      const CUtlVector<CUtlString> &vecPackagePaths,
                                      const std::vector<std::string> &vecPackageNames)
{
    for (int i = 0; i < vecPackagePaths.Count(); ++i)
    {
        const std::string strName = (size_t)i < vecPackageNames.size() ? vecPackageNames[(size_t)i] : "";
        KeyValues *pPackage = pManifest && !strName.empty() ? pManifest->FindKey(strName.c_str()) : nullptr;
        pRun->m_vecPaths.push_back(vecPackagePaths[i].Get());
        pRun->m_vecNames.push_back(strName);
        pRun->m_vecSHA256.push_back(pPackage ? pPackage->GetString(KV_PACKAGE_SHA256_KEY, "") : "");
    }
    auto fnCheck = [this](const UnpackJob_t &job, const uint8 *pubSHA1, const std::string &strSHA256)
    {
        return BCheckPackageDigests(job.m_pPackage, Q_UnqualifiedFileName(job.m_strPath.c_str()), pubSHA1,
                                    strSHA256);
    };
    pRun->m_pUnpacker.reset(new CPackageUnpacker(*m_pFileOps, TempFolder(), (uint32)vecPackagePaths.Count(),
                                                 fnCheck, CPackageUnpacker::DefaultWorkerCount()));
}

void CFerroUpdater::AddUnpackJob(UnpackRun_t &run, KeyValues *pManifest, size_t iPackage)
{
    UnpackJob_t job;
    job.m_iPackage = (uint32)iPackage;
    job.m_strPath = run.m_vecPaths[iPackage];
    job.m_strName = run.m_vecNames[iPackage];
    job.m_pPackage = job.m_strName.empty() ? nullptr : pManifest->FindKey(job.m_strName.c_str());
    job.m_bVerified = BVerifiedThisRun(job.m_strPath.c_str());
    run.m_pUnpacker->Add(job);
}

CFerroUpdater::EUnpackResult CFerroUpdater::UnpackPackages(KeyValues *pManifest,
                                                           const CUtlVector<CUtlString> &vecPackagePaths,
                                                           const std::vector<std::string> &vecPackageNames,
                                                           CUtlVector<CUtlString> &vecOldFiles,
                                                           CUtlVector<CUtlString> &vecNewFiles,
                                                           ExtractedFiles_t *pExtracted)
{
    UnpackRunPtr pRun = TakeUnpackPipeline(pManifest, vecPackagePaths, vecPackageNames);
    // The status goes first, as the unpacking of the first archive would show it.
    if (vecPackagePaths.Count() > 0)
        UpdateStatusLocalized("#FerroBootstrapper_UpdateExtractingPackage", "Extracting package...");
    CPackageUnpacker::EWait eWait = CPackageUnpacker::k_EWaitFailed;
    if (pRun)
    {
        eWait = pRun->m_pUnpacker->Wait([this] { return BStopRequested(); });
        if (eWait == CPackageUnpacker::k_EWaitDone)
            Log("The %d packages were unpacked during the download\n", vecPackagePaths.Count());
        if (eWait == CPackageUnpacker::k_EWaitFailed)
        {
            // Whatever went wrong while downloading is judged again from the start.
            Log("The unpacking begun during the download failed; unpacking every archive again\n");
            pRun.reset();
        }
    }
    if (!pRun)
    {
        const std::string strTempDir = TempFolder();
        // What an earlier, failed installation left unpacked is not part of this build: the
        // commit moves everything in the folder.
        if (!BDeleteDirectoryTree(*m_pFileOps, strTempDir.c_str()))
        {
            CUtlString strText;
            strText.Format("Failed to remove stale temporary unzip folder (%s)", strTempDir.c_str());
            SetUpdateError(strText.Get(), false);
            return k_EUnpackRefused;
        }
        pRun.reset(new UnpackRun_t);
        DescribeUnpackRun(pRun.get(), pManifest, vecPackagePaths, vecPackageNames);
        for (size_t i = 0; i < pRun->m_vecPaths.size(); ++i)
            AddUnpackJob(*pRun, pManifest, i);
        eWait = pRun->m_pUnpacker->Wait([this] { return BStopRequested(); });
    }
    return FinishUnpacking(*pRun, eWait, vecOldFiles, vecNewFiles, pExtracted);
}

CFerroUpdater::EUnpackResult CFerroUpdater::FinishUnpacking(UnpackRun_t &run, int eWait,
                                                            CUtlVector<CUtlString> &vecOldFiles,
                                                            CUtlVector<CUtlString> &vecNewFiles,
                                                            ExtractedFiles_t *pExtracted)
{
    const std::vector<UnpackedPackage_t> &vecResults = run.m_pUnpacker->Results();
    // The user stopped the unpacking of good archives: they are kept for next time.
    if (eWait == CPackageUnpacker::k_EWaitStopped || BStopRequested())
    {
        ClearTemporaryFolder();
        return k_EUnpackCancelled;
    }
    if (eWait != CPackageUnpacker::k_EWaitDone)
    {
        // The first package in manifest order that failed is the one refused, as when they
        // are unpacked one after the other. The next check downloads it again. What was
        // unpacked (up to a full disk, for an archive that inflates beyond any size) goes at once.
        size_t iFailed = 0;
        while (iFailed < vecResults.size() && (vecResults[iFailed].m_eOutcome == k_EUnpackOutcomeDone ||
                                               vecResults[iFailed].m_eOutcome == k_EUnpackOutcomeNone))
            ++iFailed;
        ClearTemporaryFolder();
        if (iFailed == vecResults.size())
            return k_EUnpackCancelled;
        const UnpackedPackage_t &failed = vecResults[iFailed];
        const char *pchPath = run.m_vecPaths[iFailed].c_str();
        if (!failed.m_strError.IsEmpty())
            SetUpdateError(failed.m_strError.Get(), false);
        SetUpdateError(FailureText(failed.m_eOutcome, pchPath).Get(), false);
        BDeleteFileWithRetry(*m_pFileOps, pchPath);
        return k_EUnpackRefused;
    }
    // Joined in manifest order: the later package's file and digest win, as on disk.
    std::vector<std::string> vecNames;
    for (const UnpackedPackage_t &package : vecResults)
    {
        vecNames.insert(vecNames.end(), package.m_vecNames.begin(), package.m_vecNames.end());
        if (pExtracted)
        {
            for (const auto &entry : package.m_extracted)
                (*pExtracted)[entry.first] = entry.second;
        }
    }
    JoinUnpackedNames(vecNames, vecOldFiles, vecNewFiles);
    return k_EUnpackDone;
}

void CFerroUpdater::StartUnpackPipeline(KeyValues *pManifest, const char *pchPackageDir,
                                        const CUtlVector<CUtlString> &vecDownloads)
{
    DiscardUnpackPipeline();
    // A check that only downloads leaves the update pending and the folder alone.
    if (!m_bUnpackWhileDownloading)
        return;
    if (!BDeleteDirectoryTree(*m_pFileOps, TempFolder().c_str()))
        return;
    UnpackRunPtr pRun(new UnpackRun_t);
    pRun->m_manifest.Assign(pManifest->MakeCopy());
    // The packages the installation will unpack: not those it leaves as they are installed.
    char rgchInstalledList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledList, sizeof(rgchInstalledList), ".installed");
    std::vector<InstalledFile_t> vecListed;
    int cMalformed = 0;
    ReadInstalledFileEntries(rgchInstalledList, &vecListed, &cMalformed);
    const KeptPackages_t kept = SelectKeptPackages(pRun->m_manifest.Get(), vecListed, cMalformed);
    CUtlVector<CUtlString> vecPaths;
    std::vector<std::string> vecNames;
    GetPackagesToUnpack(pRun->m_manifest.Get(), pchPackageDir, kept.m_setNames, vecPaths, &vecNames);
    DescribeUnpackRun(pRun.get(), pRun->m_manifest.Get(), vecPaths, vecNames);
    // The archives that are here already go at once; the others as they arrive.
    std::unordered_set<std::string> setDownloads;
    for (const CUtlString &strDownload : vecDownloads)
        setDownloads.insert(Q_UnqualifiedFileName(strDownload.Get()));
    for (size_t i = 0; i < pRun->m_vecPaths.size(); ++i)
    {
        const char *pchPath = pRun->m_vecPaths[i].c_str();
        if (!setDownloads.count(Q_UnqualifiedFileName(pchPath)) && m_pFileOps->GetFileSize(pchPath) >= 0)
            AddUnpackJob(*pRun, pRun->m_manifest.Get(), i);
    }
    m_pUnpackPipeline = std::move(pRun);
}

void CFerroUpdater::UnpackDownloadedArchive(const char *pchPath)
{
    if (!m_pUnpackPipeline)
        return;
    for (size_t i = 0; i < m_pUnpackPipeline->m_vecPaths.size(); ++i)
    {
        if (m_pUnpackPipeline->m_vecPaths[i] == pchPath)
            AddUnpackJob(*m_pUnpackPipeline, m_pUnpackPipeline->m_manifest.Get(), i);
    }
}

void CFerroUpdater::DiscardUnpackPipeline()
{
    if (!m_pUnpackPipeline)
        return;
    m_pUnpackPipeline.reset();
    ClearTemporaryFolder();
}

UnpackRunPtr CFerroUpdater::TakeUnpackPipeline(KeyValues *pManifest,
                                               const CUtlVector<CUtlString> &vecPackagePaths,
                                               const std::vector<std::string> &vecPackageNames)
{
    if (!m_pUnpackPipeline)
        return nullptr;
    // The same archives of the same packages with the same digests, or nothing of it.
    UnpackRun_t &run = *m_pUnpackPipeline;
    bool bSame = pManifest && (size_t)vecPackagePaths.Count() == run.m_vecPaths.size() &&
                 vecPackageNames.size() == run.m_vecNames.size();
    for (size_t i = 0; bSame && i < run.m_vecPaths.size(); ++i)
    {
        KeyValues *pPackage = pManifest->FindKey(vecPackageNames[i].c_str());
        bSame = run.m_vecPaths[i] == vecPackagePaths[(int)i].Get() &&
                run.m_vecNames[i] == vecPackageNames[i] && pPackage &&
                run.m_vecSHA256[i] == pPackage->GetString(KV_PACKAGE_SHA256_KEY, "");
    }
    if (!bSame)
    {
        Log("The unpacking begun during the download was for other packages; unpacking anew\n");
        DiscardUnpackPipeline();
        return nullptr;
    }
    return std::move(m_pUnpackPipeline);
}
