// Which archives a manifest needs and whether they are there, the pending update, and the
// import of an update that another process downloaded into some other directory.
#include "ferroexe/ferroupdater.h"

#include "crypto/manifestverify.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>
#include <vector>

// Paths are formed with '/' and handed to the system with '\' (the platform layer takes
// both).
std::string BackslashPath(std::string str)
{
    Q_FixSlashes(&str[0], '\\');
    return str;
}

CUtlString JoinPath(const char *pchDir, const char *pchName)
{
    return CUtlString(BackslashPath(std::string(pchDir) + "/" + pchName));
}

namespace
{
// The same path whichever separator it was written with.
std::string ComparablePath(const char *pchPath)
{
    std::string str = pchPath;
    for (char &ch : str)
        ch = ch == '\\' ? '/' : Q_tolower_ascii(ch);
    while (str.size() > 1 && str.back() == '/')
        str.pop_back();
    return str;
}

// Whether a file of the expected size is at the path.
bool BHasFileOfSize(IInstallFileOps &ops, const char *pchPath, uint64 cubExpected)
{
    int64 cubFile = ops.GetFileSize(pchPath);
    return cubFile >= 0 && (uint64)cubFile == cubExpected;
}

enum EPendingLook
{
    k_EPendingLookComplete,   // manifest and every archive there
    k_EPendingLookIncomplete, // no manifest, or archives missing
    k_EPendingLookUnreadable, // a manifest that cannot be read or loaded
};
} // namespace

// ---- package paths and what is missing ----

int CFerroUpdater::GetPackagePaths(KeyValues *pManifest, CUtlVector<CUtlString> &vecPaths)
{
    CUtlString strPackageDir = GetPackageDir();
    return GetPackagePathsIn(pManifest, strPackageDir.Get(), vecPaths);
}

int CFerroUpdater::GetPackagePathsIn(KeyValues *pManifest, const char *pchPackageDir,
                                     CUtlVector<CUtlString> &vecPaths)
{
    int cPaths = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey())
    {
        vecPaths.AddToTail(JoinPath(pchPackageDir, pPackage->GetString("file")));
        ++cPaths;
    }
    return cPaths;
}

int CFerroUpdater::BuildDownloadList(const DownloadLocation_t &location, KeyValues *pManifest,
                                     CUtlVector<CUtlString> &vecDownloads, uint64 *pcubTotal)
{
    CUtlString strPackageDir = GetPackageDir();
    return BuildDownloadListIn(location, pManifest, strPackageDir.Get(), vecDownloads, pcubTotal);
}

int CFerroUpdater::BuildDownloadListIn(const DownloadLocation_t &location, KeyValues *pManifest,
                                       const char *pchPackageDir, CUtlVector<CUtlString> &vecDownloads,
                                       uint64 *pcubTotal,
                                       const std::unordered_set<std::string> *pOnlyPackages)
{
    CUtlVector<CUtlString> vecPaths;
    GetPackagePathsIn(pManifest, pchPackageDir, vecPaths);
    int cAdded = 0;
    int iPath = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey(), ++iPath)
    {
        if (pOnlyPackages && !pOnlyPackages->count(pPackage->GetName()))
            continue;
        uint64 cubExpected = ManifestPackageSize(pPackage);
        const char *pchPath = vecPaths[iPath].Get();
        const char *pchFileName = Q_UnqualifiedFileName(pchPath);
        if (BHasFileOfSize(*m_pFileOps, pchPath, cubExpected))
            continue;
        CUtlString strInInstall;
        strInInstall.Format("%s/%s/%s", m_strInstallDir.Get(), k_szPackageFolder, pchFileName);
        if (BHasFileOfSize(*m_pFileOps, strInInstall.Get(), cubExpected))
            continue;
        Log("Package file %s missing or incorrect size\n", pchFileName);
        CUtlString strURL;
        strURL.Format("%s%s", location.m_strURLPath.Get(), pchFileName);
        vecDownloads.AddToTail(strURL);
        *pcubTotal += cubExpected;
        ++cAdded;
    }
    return cAdded;
}

KeyValues *CFerroUpdater::LoadManifestFile(const char *pchPath)
{
    InstallFileData_t data;
    if (!m_pFileOps->BReadWholeFile(pchPath, &data) || data.m_cubData == 0)
        return nullptr;
    std::string strText((const char *)data.m_pubData.get(), data.m_cubData);
    return LoadManifestFromBuffer(strText.c_str());
}

KeyValues *CFerroUpdater::LoadVerifiedManifestFile(const char *pchPath, bool *pbRefused)
{
    if (pbRefused)
        *pbRefused = false;
    InstallFileData_t data;
    if (!m_pFileOps->BReadWholeFile(pchPath, &data))
        return nullptr;
    KeyValues *pManifest = nullptr;
    if (data.m_cubData > 0)
    {
        std::string strText((const char *)data.m_pubData.get(), data.m_cubData);
        pManifest = LoadManifestFromBuffer(strText.c_str());
    }
    if (!pManifest)
        Log("Manifest %s refused: it is empty or does not parse\n", pchPath);
    if (pManifest && !BVerifyManifestTree(pManifest, pchPath))
    {
        pManifest->DeleteThis();
        pManifest = nullptr;
    }
    if (pbRefused)
        *pbRefused = !pManifest;
    return pManifest;
}

// ---- the pending update ----

bool CFerroUpdater::BIsUpdatePending()
{
    CUtlString strPackageDir = GetPackageDir();
    DownloadLocation_t location;
    if (!BGetUsableDownloadLocation(&location))
        return false;

    auto Look = [&](const char *pchPackageDir)
    {
        char rgchManifest[MAX_PATH_BYTES];
        BuildPackageBasePath(rgchManifest, sizeof(rgchManifest), pchPackageDir, true);
        if (!m_pFileOps->BFileExists(rgchManifest))
            return k_EPendingLookIncomplete;
        Log("uninstalled manifest found in %s.\n", rgchManifest);
        KeyValues *pManifest = LoadVerifiedManifestFile(rgchManifest);
        if (!pManifest)
            return k_EPendingLookUnreadable;
        CUtlVector<CUtlString> vecMissing;
        uint64 cubMissing = 0;
        int cMissing = BuildDownloadListIn(location, pManifest, pchPackageDir, vecMissing, &cubMissing);
        pManifest->DeleteThis();
        return cMissing == 0 ? k_EPendingLookComplete : k_EPendingLookIncomplete;
    };

    EPendingLook eLook = Look(strPackageDir.Get());
    if (eLook != k_EPendingLookIncomplete)
        return eLook == k_EPendingLookComplete;

    // The install directory's own package folder, as a value of this call: other threads
    // use the shared package directory meanwhile. Looking at the same folder twice would
    // only log the same lines again.
    CUtlString strInstallPackages;
    strInstallPackages.Format("%s/%s", m_strInstallDir.Get(), k_szPackageFolder);
    if (ComparablePath(strInstallPackages.Get()) == ComparablePath(strPackageDir.Get()))
        return false;
    return Look(strInstallPackages.Get()) == k_EPendingLookComplete;
}

bool CFerroUpdater::BDiscardRefusedPendingManifests()
{
    CUtlString strPackageDir = GetPackageDir();
    CUtlString strInstallPackages;
    strInstallPackages.Format("%s/%s", m_strInstallDir.Get(), k_szPackageFolder);
    const bool bSameFolder = ComparablePath(strInstallPackages.Get()) == ComparablePath(strPackageDir.Get());
    bool bDiscarded = false;
    for (const char *pchDir : {strPackageDir.Get(), bSameFolder ? nullptr : strInstallPackages.Get()})
    {
        if (!pchDir)
            continue;
        char rgchManifest[MAX_PATH_BYTES];
        BuildPackageBasePath(rgchManifest, sizeof(rgchManifest), pchDir, true);
        if (!m_pFileOps->BFileExists(rgchManifest))
            continue;
        bool bRefused = false;
        KeyValues *pManifest = LoadVerifiedManifestFile(rgchManifest, &bRefused);
        if (pManifest)
            pManifest->DeleteThis();
        if (!bRefused)
            continue;
        // Unsigned, altered or cut: nothing it names is installed. The update it stood for
        // is fetched again from the content service.
        if (BDeleteFileWithRetry(*m_pFileOps, rgchManifest))
            Log("Deleted the refused pending manifest %s\n", rgchManifest);
        else
            Log("Failed to delete the refused pending manifest %s\n", rgchManifest);
        bDiscarded = true;
    }
    return bDiscarded;
}

// ---- importing from another directory ----

bool CFerroUpdater::SetOwnershipToAppOwner(const char *pchPath)
{
    if (m_pFileOps->BSetOwnerFrom(pchPath, m_strInstallDir.Get()))
        return true;
    Log("Failed to give %s the owner of %s\n", pchPath, m_strInstallDir.Get());
    return false;
}

bool CFerroUpdater::BInstallUpdateFromDirectory(const char *pchSourceDir)
{
    if (!pchSourceDir)
        return false;
    // The import writes the package folder: not while another launcher works on it.
    const bool bHeldBefore = BHoldsInstallLock();
    if (!BLockInstallation(false))
    {
        Log("not importing the update in %s: another launcher is updating this installation\n", pchSourceDir);
        return false;
    }
    bool bResult = BImportUpdateFromDirectory(pchSourceDir);
    if (!bHeldBefore)
        UnlockInstallation();
    return bResult;
}

bool CFerroUpdater::BImportUpdateFromDirectory(const char *pchSourceDir)
{
    char rgchSourceManifest[MAX_PATH_BYTES];
    BuildPackageBasePath(rgchSourceManifest, sizeof(rgchSourceManifest), pchSourceDir, true);
    if (!m_pFileOps->BFileExists(rgchSourceManifest))
        return false;

    const char *pchManifestName = Q_UnqualifiedFileName(rgchSourceManifest);
    CUtlString strInstalledManifest;
    strInstalledManifest.Format("%s/%s/%s.manifest", m_strInstallDir.Get(), k_szPackageFolder,
                                pchManifestName);
    if (m_pFileOps->GetFileWriteTime(rgchSourceManifest) <=
        m_pFileOps->GetFileWriteTime(strInstalledManifest.Get()))
    {
        Log("update in %s looks older than the currently installed package, not installing update\n",
            rgchSourceManifest);
        return false;
    }

    // The source directory may be writable by anyone, and this run is elevated: only what
    // the content service signed is copied, and every byte is checked as read, then written
    // from memory, so that nothing can be swapped between the check and the copy.
    InstallFileData_t manifestData;
    KeyValues *pManifest = LoadSignedImportManifest(rgchSourceManifest, pchSourceDir, &manifestData);
    if (!pManifest)
        return false;
    CKeyValuesAutoDelete manifestDelete(pManifest);
    // Signed, but perhaps an older build's, another channel's or a stale one, left where
    // anyone may write.
    if (!BAcceptManifest(pManifest, GetClientBeta().Get(), rgchSourceManifest))
    {
        Log("update in %s is refused, not installing update\n", pchSourceDir);
        return false;
    }

    // The source directory serves as the package directory of this import only; the
    // shared one stays as it is for everyone else.
    ImportArchives_t archives;
    GetPackagePathsIn(pManifest, pchSourceDir, archives.m_vecPaths);
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey())
    {
        archives.m_vecSizes.push_back(ManifestPackageSize(pPackage));
        archives.m_vecPackages.push_back(pPackage);
    }
    archives.m_strInstallPackages.Format("%s/%s", m_strInstallDir.Get(), k_szPackageFolder);

    UpdateStatusLocalized("#FerroBootstrapper_UpdatePrepare", "Preparing to update...");

    // Every archive is checked before anything is copied.
    if (!BCheckImportArchives(archives))
        return false;
    bool bResult = m_pFileOps->BCreateDirectoryHierarchy(archives.m_strInstallPackages.Get());
    bResult = SetOwnershipToAppOwner(archives.m_strInstallPackages.Get()) && bResult;
    if (!BCopyImportArchives(archives, &bResult))
        return false;
    // The manifest last: an import cut short leaves no pending manifest whose archives are
    // missing.
    CUtlString strManifestTarget;
    strManifestTarget.Format("%s/%s", archives.m_strInstallPackages.Get(), pchManifestName);
    Log("copying %s -> %s\n", rgchSourceManifest, strManifestTarget.Get());
    bResult = BWriteWholeFile(*m_pFileOps, strManifestTarget.Get(), manifestData.m_pubData.get(),
                              (size_t)manifestData.m_cubData, false) &&
              bResult;
    bResult = SetOwnershipToAppOwner(strManifestTarget.Get()) && bResult;
    return bResult;
}

KeyValues *CFerroUpdater::LoadSignedImportManifest(const char *pchManifestPath, const char *pchSourceDir,
                                                   InstallFileData_t *pData)
{
    KeyValues *pManifest = nullptr;
    if (m_pFileOps->BReadWholeFile(pchManifestPath, pData) && pData->m_cubData > 0)
    {
        std::string strText((const char *)pData->m_pubData.get(), pData->m_cubData);
        pManifest = LoadManifestFromBuffer(strText.c_str());
    }
    if (!pManifest || !BVerifyManifestTree(pManifest, pchManifestPath))
    {
        if (pManifest)
            pManifest->DeleteThis();
        Log("update in %s is not signed by the content service, not installing update\n", pchSourceDir);
        return nullptr;
    }
    return pManifest;
}

// An archive of the source, read whole and checked against the manifest; the bytes that
// were checked are the ones written. One archive is in memory at a time.
bool CFerroUpdater::BReadCheckedArchive(const ImportArchives_t &archives, int iPath,
                                        InstallFileData_t *pArchive)
{
    const char *pchFileName = Q_UnqualifiedFileName(archives.m_vecPaths[iPath].Get());
    if (!m_pFileOps->BReadWholeFile(archives.m_vecPaths[iPath].Get(), pArchive) ||
        pArchive->m_cubData != archives.m_vecSizes[(size_t)iPath])
    {
        Log("Package file %s missing or incorrect size, not installing update\n", pchFileName);
        return false;
    }
    if (!BCheckPackageArchive(archives.m_vecPackages[(size_t)iPath], pchFileName, pArchive->m_pubData.get(),
                              pArchive->m_cubData))
    {
        Log("Package file %s does not match its digest, not installing update\n", pchFileName);
        return false;
    }
    return true;
}

bool CFerroUpdater::BCheckImportArchives(const ImportArchives_t &archives)
{
    for (int iPath = 0; iPath < archives.m_vecPaths.Count(); ++iPath)
    {
        const char *pchPath = archives.m_vecPaths[iPath].Get();
        CUtlString strInInstall;
        strInInstall.Format("%s/%s", archives.m_strInstallPackages.Get(), Q_UnqualifiedFileName(pchPath));
        if (!m_pFileOps->BFileExists(pchPath))
        {
            // Already in the install directory only: the installation checks its digest.
            if (BHasFileOfSize(*m_pFileOps, strInInstall.Get(), archives.m_vecSizes[(size_t)iPath]))
                continue;
            Log("Package file %s missing or incorrect size, not installing update\n",
                Q_UnqualifiedFileName(pchPath));
            return false;
        }
        InstallFileData_t archive;
        if (!BReadCheckedArchive(archives, iPath, &archive))
            return false;
    }
    return true;
}

bool CFerroUpdater::BCopyImportArchives(const ImportArchives_t &archives, bool *pbResult)
{
    CUtlVector<CUtlString> vecWritten;
    for (int iPath = 0; iPath < archives.m_vecPaths.Count(); ++iPath)
    {
        const char *pchPath = archives.m_vecPaths[iPath].Get();
        if (!m_pFileOps->BFileExists(pchPath))
            continue;
        CUtlString strTarget;
        strTarget.Format("%s/%s", archives.m_strInstallPackages.Get(), Q_UnqualifiedFileName(pchPath));
        InstallFileData_t archive;
        if (!BReadCheckedArchive(archives, iPath, &archive))
        {
            // Changed since it was checked: what this import wrote goes again.
            for (const CUtlString &strWritten : vecWritten)
                BDeleteFileWithRetry(*m_pFileOps, strWritten.Get());
            return false;
        }
        Log("copying %s -> %s\n", pchPath, strTarget.Get());
        bool bCopied =
            BWriteWholeFile(*m_pFileOps, strTarget.Get(), archive.m_pubData.get(), archive.m_cubData, false);
        if (bCopied)
            vecWritten.AddToTail(strTarget);
        *pbResult = bCopied && SetOwnershipToAppOwner(strTarget.Get()) && *pbResult;
    }
    return true;
}

bool CFerroUpdater::BRemoveUpdateFromDirectory(const char *pchSourceDir)
{
    if (!pchSourceDir)
        return false;
    char rgchSourceManifest[MAX_PATH_BYTES];
    BuildPackageBasePath(rgchSourceManifest, sizeof(rgchSourceManifest), pchSourceDir, true);
    KeyValues *pManifest = LoadVerifiedManifestFile(rgchSourceManifest);
    if (!pManifest)
        return false;
    CKeyValuesAutoDelete manifestDelete(pManifest);

    CUtlVector<CUtlString> vecPaths;
    GetPackagePathsIn(pManifest, pchSourceDir, vecPaths);
    Log("removing %s\n", rgchSourceManifest);
    BDeleteFileWithRetry(*m_pFileOps, rgchSourceManifest);
    for (const CUtlString &strPath : vecPaths)
    {
        Log("removing %s\n", strPath.Get());
        BDeleteFileWithRetry(*m_pFileOps, strPath.Get());
    }
    return true;
}
