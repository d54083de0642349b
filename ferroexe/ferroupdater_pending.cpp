// Which archives a manifest needs and whether they are there, the pending update, and the
// import of an update that another process downloaded into some other directory.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>

// Paths are formed with '/' and handed to the system with '\' (the platform layer takes
// both).
CUtlString JoinPath(const char *pchDir, const char *pchName)
{
    std::string str = std::string(pchDir) + "/" + pchName;
    for (char &ch : str)
    {
        if (ch == '/')
            ch = '\\';
    }
    return CUtlString(str);
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

bool CFerroUpdater::BPackageFileNamesArePlain(KeyValues *pManifest)
{
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey())
    {
        const char *pchFile = pPackage->GetString("file");
        bool bPlain =
            *pchFile && strcmp(pchFile, ".") != 0 && strcmp(pchFile, "..") != 0 && !strpbrk(pchFile, "/\\:");
        if (!bPlain)
        {
            Log("Package %s has an unusable file name '%s'\n", pPackage->GetName(), pchFile);
            return false;
        }
    }
    return true;
}

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
        uint64 cubExpected = pPackage->GetUint64("size");
        const char *pchPath = vecPaths[iPath].Get();
        const char *pchFileName = Q_UnqualifiedFileName(pchPath);
        if (BHasFileOfSize(*m_pFileOps, pchPath, cubExpected))
            continue;
        CUtlString strInInstall;
        strInInstall.Format("%s/%s/%s", m_strInstallDir.Get(), "package", pchFileName);
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

KeyValues *CFerroUpdater::LoadUsableManifestFile(const char *pchPath)
{
    KeyValues *pManifest = LoadManifestFile(pchPath);
    if (pManifest && !BPackageFileNamesArePlain(pManifest))
    {
        pManifest->DeleteThis();
        pManifest = nullptr;
    }
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
        KeyValues *pManifest = LoadUsableManifestFile(rgchManifest);
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
    strInstallPackages.Format("%s/%s", m_strInstallDir.Get(), "package");
    if (ComparablePath(strInstallPackages.Get()) == ComparablePath(strPackageDir.Get()))
        return false;
    return Look(strInstallPackages.Get()) == k_EPendingLookComplete;
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
    strInstalledManifest.Format("%s/%s/%s.manifest", m_strInstallDir.Get(), "package", pchManifestName);
    if (m_pFileOps->GetFileWriteTime(rgchSourceManifest) <=
        m_pFileOps->GetFileWriteTime(strInstalledManifest.Get()))
    {
        Log("update in %s looks older than the currently installed package, not installing update\n",
            rgchSourceManifest);
        return false;
    }

    KeyValues *pManifest = LoadUsableManifestFile(rgchSourceManifest);
    if (!pManifest)
        return false;
    CKeyValuesAutoDelete manifestDelete(pManifest);

    // The source directory serves as the package directory of this import only; the
    // shared one stays as it is for everyone else.
    CUtlVector<CUtlString> vecPaths;
    GetPackagePathsIn(pManifest, pchSourceDir, vecPaths);

    UpdateStatusLocalized("#FerroBootstrapper_UpdatePrepare", "Preparing to update...");

    CUtlString strInstallPackages;
    strInstallPackages.Format("%s/%s", m_strInstallDir.Get(), "package");
    int iPath = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey(), ++iPath)
    {
        uint64 cubExpected = pPackage->GetUint64("size");
        const char *pchPath = vecPaths[iPath].Get();
        const char *pchFileName = Q_UnqualifiedFileName(pchPath);
        CUtlString strInInstall;
        strInInstall.Format("%s/%s", strInstallPackages.Get(), pchFileName);
        if (!BHasFileOfSize(*m_pFileOps, pchPath, cubExpected) &&
            !BHasFileOfSize(*m_pFileOps, strInInstall.Get(), cubExpected))
        {
            Log("Package file %s missing or incorrect size, not installing update\n", pchFileName);
            return false;
        }
    }

    bool bResult = m_pFileOps->BCreateDirectoryHierarchy(strInstallPackages.Get());
    bResult = SetOwnershipToAppOwner(strInstallPackages.Get()) && bResult;
    CUtlString strManifestTarget;
    strManifestTarget.Format("%s/%s", strInstallPackages.Get(), pchManifestName);
    bResult = m_pFileOps->BCopyFile(rgchSourceManifest, strManifestTarget.Get()) && bResult;
    bResult = SetOwnershipToAppOwner(strManifestTarget.Get()) && bResult;

    for (int i = 0; i < vecPaths.Count(); ++i)
    {
        const char *pchPath = vecPaths[i].Get();
        CUtlString strTarget;
        strTarget.Format("%s/%s", strInstallPackages.Get(), Q_UnqualifiedFileName(pchPath));
        Log("copying %s -> %s\n", pchPath, strTarget.Get());
        if (m_pFileOps->BFileExists(pchPath))
        {
            bool bCopied = m_pFileOps->BCopyFile(pchPath, strTarget.Get());
            bResult = bCopied && SetOwnershipToAppOwner(strTarget.Get()) && bResult;
        }
        else
        {
            AssertMsg(m_pFileOps->BFileExists(strTarget.Get()), "BFileExists( str )");
        }
    }
    return bResult;
}

bool CFerroUpdater::BRemoveUpdateFromDirectory(const char *pchSourceDir)
{
    if (!pchSourceDir)
        return false;
    char rgchSourceManifest[MAX_PATH_BYTES];
    BuildPackageBasePath(rgchSourceManifest, sizeof(rgchSourceManifest), pchSourceDir, true);
    KeyValues *pManifest = LoadUsableManifestFile(rgchSourceManifest);
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
