// Installing a complete pending update: unpack every archive into "package/tmp", move the
// files into the install directory one by one keeping the replaced ones as ".old" backups,
// then either drop the backups or move them back, clean up, and record the installed file
// list and manifest.
//
// Only the commit changes the install directory, and only by renames: a failure before it
// leaves the installation untouched, a failure inside it is rolled back, and the pending
// manifest goes last, so an installation cut short after the commit is done again at the
// next start.
#include "ferroexe/ferroupdater.h"

#include "common/sha1.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/installpaths.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>
#include <unordered_set>

namespace
{
const char k_szPackageFolder[] = "package";
const char k_szBackupSuffix[] = ".old";
// Left out of the commit while its checksum is inhibited (it may be the running launcher).
const char k_szLauncherFileName[] = "ferro.exe";
const char k_szCleanupFailToken[] = "#FerroBootstrapper_UpdateCleanupFail";
const char k_szBackupsStayText[] =
    "Failed to clear up temporary update files used for rollback, continuing anyway";
// Tries, and the pause between them, to remove the launcher replaced by the last update.
const int k_cOldExecutableDeleteTries = 20;
const uint32 k_msOldExecutableDeletePause = 100;
const char k_szArchivesStayText[] = "Failed to delete unreferenced zip files, continuing anyway";
const char k_szTempFolderStaysText[] = "Failed to remove temporary unzip folder, continuing anyway";

std::string BackslashPath(std::string str)
{
    for (char &ch : str)
    {
        if (ch == '/')
            ch = '\\';
    }
    return str;
}

// A path of the old file list that stays inside the install directory: relative, no
// drive or colon, no ".." component.
bool BIsInsideInstallDir(const char *pchPath)
{
    if (!*pchPath || Q_IsPathSeparator(pchPath[0]) || strchr(pchPath, ':'))
        return false;
    for (const char *pch = pchPath; *pch;)
    {
        const char *pchEnd = pch + strcspn(pch, "/\\");
        if (pchEnd - pch == 2 && pch[0] == '.' && pch[1] == '.')
            return false;
        pch = *pchEnd ? pchEnd + 1 : pchEnd;
    }
    return true;
}

// The installed manifest (".manifest") or file list (".installed") of the build without
// beta, whatever beta is selected.
CUtlString NonBetaInstalledFilePath(const CFerroUpdater &updater, const char *pchSuffix)
{
    char rgchDir[MAX_PATH_BYTES];
    char rgchPath[MAX_PATH_BYTES];
    Q_snprintf(rgchDir, sizeof(rgchDir), "%s/%s", updater.m_strInstallDir.Get(), k_szPackageFolder);
    updater.BuildPackageBasePath(rgchPath, sizeof(rgchPath), rgchDir, false);
    Q_strncat(rgchPath, pchSuffix, sizeof(rgchPath));
    return CUtlString(rgchPath);
}

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

// "<running launcher>.old": where the commit moves the launcher that an update replaces.
CUtlString RunningExecutableBackup()
{
    CUtlString strBackup;
    strBackup.Format("%s%s", CInstallPaths::ExePath(), k_szBackupSuffix);
    return strBackup;
}

bool BIsRunningExecutableBackup(const char *pchBackup)
{
    CUtlString strOwn = RunningExecutableBackup();
    return Q_stricmp(Q_UnqualifiedFileName(pchBackup), Q_UnqualifiedFileName(strOwn.Get())) == 0 &&
           !strchr(pchBackup + (strncmp(pchBackup, "./", 2) == 0 ? 2 : 0), '/') &&
           !strchr(pchBackup + (strncmp(pchBackup, "./", 2) == 0 ? 2 : 0), '\\');
}
} // namespace

void CFerroUpdater::RemoveOldExecutable()
{
    CUtlString strBackup = RunningExecutableBackup();
    if (!m_pFileOps->BFileExists(strBackup.Get()))
        return;
    // The launcher that replaced it may have started this one a moment before it ended:
    // give it a little time to go.
    for (int i = 0; i < k_cOldExecutableDeleteTries; ++i)
    {
        if (BDeleteFileWithRetry(*m_pFileOps, strBackup.Get()))
        {
            Log("Removed the launcher replaced by the last update (%s)", strBackup.Get());
            return;
        }
        m_ShutdownEvent.Wait(k_msOldExecutableDeletePause);
        if (m_bShutdownRequested)
            return;
    }
    Log("The launcher replaced by the last update (%s) is still in use; the next start removes it",
        strBackup.Get());
}

bool CFerroUpdater::BApplyUpdate()
{
    if (!BIsUpdatePending())
        return false;
    if (!BHasFreeDiskSpaceForUpdate())
        return false;

    char rgchInstalledList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledList, sizeof(rgchInstalledList), ".installed");
    CUtlVector<CUtlString> vecOldFiles;
    ReadInstalledFileList(rgchInstalledList, vecOldFiles);

    char rgchPendingManifest[MAX_PATH_BYTES];
    BuildPackageBasePath(rgchPendingManifest, sizeof(rgchPendingManifest), k_szPackageFolder, true);
    // A manifest that cannot be read, is empty, does not load or does not verify is unusable
    // alike; one that is there and does not verify goes, so that the update is fetched anew.
    bool bRefused = false;
    KeyValues *pManifest = LoadVerifiedManifestFile(rgchPendingManifest, &bRefused);
    if (!pManifest)
    {
        if (bRefused && BDeleteFileWithRetry(*m_pFileOps, rgchPendingManifest))
            Log("Deleted the refused pending manifest %s\n", rgchPendingManifest);
        SetUpdateError(
            LocalizeUpdaterText("#FerroBootstrapper_FailedManifestLoad", "Failed to load package manifest.")
                .Get(),
            false);
        return false;
    }
    CKeyValuesAutoDelete manifestDelete(pManifest);

    char rgchTempDir[MAX_PATH_BYTES];
    Q_snprintf(rgchTempDir, sizeof(rgchTempDir), "%s/tmp", k_szPackageFolder);
    const std::string strTempDir = BackslashPath(rgchTempDir);
    // What an earlier, failed installation left unpacked is not part of this build: the
    // commit moves everything in the folder.
    if (!BDeleteDirectoryTree(*m_pFileOps, strTempDir.c_str()))
    {
        CUtlString strText;
        strText.Format("Failed to remove stale temporary unzip folder (%s)", strTempDir.c_str());
        SetUpdateError(strText.Get(), false);
        return false;
    }

    CUtlVector<CUtlString> vecPackagePaths;
    GetPackagePaths(pManifest, vecPackagePaths);
    CUtlVector<CUtlString> vecNewFiles;
    for (const CUtlString &strPath : vecPackagePaths)
    {
        CUtlString strFailure;
        {
            // One archive in memory at a time: freed before the next is read.
            InstallFileData_t archive;
            // The digest check takes 32-bit lengths: a larger archive cannot be checked.
            if (!m_pFileOps->BReadWholeFile(strPath.Get(), &archive) ||
                archive.m_cubData != (uint32)archive.m_cubData)
            {
                strFailure = PackageText("#FerroBootstrapper_FailedPackageRead",
                                         "Failed to read package (%s)", strPath.Get());
            }
            else if (!BCheckPackageSHA1(strPath.Get(), archive.m_pubData.get(), (uint32)archive.m_cubData))
            {
                strFailure = PackageText("#FerroBootstrapper_CorruptPackageFile", "Corrupt package file (%s)",
                                         strPath.Get());
            }
            else if (!BUnzipPackage(archive.m_pubData.get(), archive.m_cubData, strTempDir.c_str(),
                                    vecOldFiles, vecNewFiles))
            {
                // The user stopped the unpacking of a good archive: keep it for next time.
                if (m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled())
                    return false;
                strFailure = PackageText("#FerroBootstrapper_FailedPackageUnzip",
                                         "Failed to unzip package (%s)", strPath.Get());
            }
        }
        if (!strFailure.IsEmpty())
        {
            // The next check downloads it again.
            SetUpdateError(strFailure.Get(), false);
            BDeleteFileWithRetry(*m_pFileOps, strPath.Get());
            return false;
        }
    }

    CUtlVector<CUtlString> vecBackups;
    if (BCommitUpdatedFiles(strTempDir.c_str(), ".", vecBackups))
    {
        if (!BDeleteBackupFiles(vecBackups))
            UpdateStatusLocalized(k_szCleanupFailToken, k_szBackupsStayText);
    }
    else
    {
        UpdateStatusLocalized("#FerroBootstrapper_UpdateApplyFail", "Failed to apply update, reverting...");
        RollbackUpdatedFiles(vecBackups);
        return false;
    }

    if (!BCleanupPackageDir(pManifest, k_szPackageFolder))
        UpdateStatusLocalized(k_szCleanupFailToken, k_szArchivesStayText);
    if (!BDeleteDirectoryTree(*m_pFileOps, strTempDir.c_str()))
        UpdateStatusLocalized(k_szCleanupFailToken, k_szTempFolderStaysText);
    DeleteObsoleteFiles(vecOldFiles);

    BDeleteFileWithRetry(*m_pFileOps, rgchInstalledList);
    if (!BWriteInstalledFileList(rgchInstalledList, vecNewFiles))
    {
        // The pending manifest stays: the next start finds the list missing and the update
        // still pending, and installs it again.
        SetUpdateError(
            LocalizeUpdaterText("#FerroBootstrapper_UpdateFinalizeFail", "Failed to open install file list")
                .Get(),
            false);
        return false;
    }
    if (!GetClientBeta().IsEmpty())
    {
        // Leaving the beta later then finds no list and installs the build without beta.
        BDeleteFileWithRetry(*m_pFileOps, NonBetaInstalledFilePath(*this, ".installed").Get());
    }
    char rgchInstalledManifest[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledManifest, sizeof(rgchInstalledManifest), ".manifest");
    if (!BSaveManifestFile(pManifest, rgchInstalledManifest))
        Log("Failed to save installed manifest %s\n", rgchInstalledManifest);
    BDeleteFileWithRetry(*m_pFileOps, rgchPendingManifest);

    UpdateStatusLocalized("#FerroBootstrapper_UpdateComplete", "Update complete, launching...");
    return true;
}

bool CFerroUpdater::BCommitUpdatedFiles(const char *pchSourceRoot, const char *pchRelativeDir,
                                        CUtlVector<CUtlString> &vecBackups)
{
    std::string strListDir = std::string(pchSourceRoot) + "/" + pchRelativeDir;
    std::vector<PlatDirEntry_t> vecEntries;
    bool bListed = m_pFileOps->BListDirectory(strListDir.c_str(), "*", &vecEntries);
    UpdateStatusLocalized("#FerroBootstrapper_UpdateInstalling", "Installing update...");
    if (!bListed)
    {
        // Nothing unpacked is nothing to install; a folder that is there but cannot be read
        // would pass for an empty one and the build would be recorded as installed.
        if (!m_pFileOps->BFileExists(strListDir.c_str()))
            return true;
        Log("BCommitUpdatedFiles: failed to list %s\n", strListDir.c_str());
        return false;
    }

    for (const PlatDirEntry_t &entry : vecEntries)
    {
        if (m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled())
            return false;
        std::string strTarget = std::string(pchRelativeDir) + "/" + entry.m_strName;
        std::string strSource = BackslashPath(std::string(pchSourceRoot) + "/" + strTarget);

        if (entry.m_bIsDirectory)
        {
            // A file where the build has a directory is not ours to remove.
            bool bExists = m_pFileOps->BFileExists(strTarget.c_str());
            if ((bExists && !m_pFileOps->BIsDirectory(strTarget.c_str())) ||
                (!bExists && !m_pFileOps->BCreateDirectoryHierarchy(strTarget.c_str())))
            {
                Log("BCommitUpdatedFiles: failed to create directory %s\n", strTarget.c_str());
                return false;
            }
            if (!BCommitUpdatedFiles(pchSourceRoot, strTarget.c_str(), vecBackups))
            {
                Log("BCommitUpdatedFiles: failed to update date %s\n", strTarget.c_str());
                return false;
            }
            continue;
        }

        const char *pchName = strTarget.compare(0, 2, "./") == 0 ? strTarget.c_str() + 2 : strTarget.c_str();
        if (m_bInhibitChecksum && strcmp(pchName, k_szLauncherFileName) == 0)
            continue;
        if (m_pFileOps->BFileExists(strTarget.c_str()))
        {
            std::string strBackup = strTarget + k_szBackupSuffix;
            // A directory where the build has a file is not ours to move aside either.
            if (m_pFileOps->BIsDirectory(strTarget.c_str()) ||
                !m_pFileOps->BRenameReplace(strTarget.c_str(), strBackup.c_str()))
            {
                Log("BCommitUpdatedFiles: failed to rename %s -> %s\n", strTarget.c_str(), strBackup.c_str());
                return false;
            }
            vecBackups.AddToTail(CUtlString(strBackup));
        }
        if (!m_pFileOps->BRenameReplace(strSource.c_str(), strTarget.c_str()))
        {
            Log("BCommitUpdatedFiles: failed to rename %s -> %s\n", strSource.c_str(), strTarget.c_str());
            return false;
        }
    }
    return true;
}

void CFerroUpdater::RollbackUpdatedFiles(CUtlVector<CUtlString> &vecBackups)
{
    CUtlVector<CUtlString> vecNotRestored;
    for (const CUtlString &strBackup : vecBackups)
    {
        std::string strRestored = strBackup.StdString();
        strRestored.resize(strRestored.size() >= 4 ? strRestored.size() - 4 : 0);
        if (m_pFileOps->BRenameReplace(strBackup.Get(), strRestored.c_str()))
            continue;
        Log("RollbackUpdatedFiles: failed to rename %s -> %s\n", strBackup.Get(), strRestored.c_str());
        vecNotRestored.AddToTail(strBackup);
    }
    vecBackups.StdVector().swap(vecNotRestored.StdVector());
}

bool CFerroUpdater::BDeleteBackupFiles(CUtlVector<CUtlString> &vecBackups)
{
    bool bAll = true;
    for (const CUtlString &strBackup : vecBackups)
    {
        // The launcher that is running was moved aside, and Windows does not delete a
        // running program: the next start removes it (RemoveOldExecutable).
        if (BIsRunningExecutableBackup(strBackup.Get()) && !m_pFileOps->BDeleteFile(strBackup.Get()))
        {
            Log("The replaced launcher %s goes at the next start", strBackup.Get());
            continue;
        }
        bool bDeleted = m_pFileOps->BIsDirectory(strBackup.Get())
                            ? BDeleteDirectoryTree(*m_pFileOps, strBackup.Get())
                            : BDeleteFileWithRetry(*m_pFileOps, strBackup.Get());
        bAll = bDeleted && bAll;
    }
    return bAll;
}

bool CFerroUpdater::BCleanupPackageDir(KeyValues *pManifest, const char *pchPackageDir)
{
    std::vector<PlatDirEntry_t> vecEntries;
    m_pFileOps->BListDirectory(pchPackageDir, "*.zip.*", &vecEntries);
    UpdateStatusLocalized("#FerroBootstrapper_UpdateCleanup", "Cleaning up...");

    // Names compared without regard to case.
    std::unordered_set<std::string> setKeep;
    auto KeepPackagesOf = [&](KeyValues *pKeep)
    {
        for (KeyValues *pPackage = pKeep->GetFirstTrueSubKey(); pPackage;
             pPackage = pPackage->GetNextTrueSubKey())
        {
            std::string strFile = pPackage->GetString("file");
            for (char &ch : strFile)
                ch = Q_tolower_ascii(ch);
            setKeep.insert(strFile);
        }
    };
    KeepPackagesOf(pManifest);
    if (!GetClientBeta().IsEmpty())
    {
        // The build without beta stays installable offline after leaving the beta.
        CUtlString strNonBetaManifest = NonBetaInstalledFilePath(*this, ".manifest");
        if (m_pFileOps->BFileExists(strNonBetaManifest.Get()))
        {
            if (KeyValues *pNonBeta = LoadManifestFile(strNonBetaManifest.Get()))
            {
                KeepPackagesOf(pNonBeta);
                pNonBeta->DeleteThis();
            }
        }
    }

    for (const PlatDirEntry_t &entry : vecEntries)
    {
        if (entry.m_bIsDirectory)
            continue;
        std::string strName = entry.m_strName;
        for (char &ch : strName)
            ch = Q_tolower_ascii(ch);
        if (setKeep.count(strName))
            continue;
        BDeleteFileWithRetry(*m_pFileOps,
                             BackslashPath(std::string(pchPackageDir) + "/" + entry.m_strName).c_str());
    }
    return true;
}

void CFerroUpdater::DeleteObsoleteFiles(const CUtlVector<CUtlString> &vecOldFiles)
{
    for (const CUtlString &strOld : vecOldFiles)
    {
        // The list is a file on disk like any other: it must not steer a delete elsewhere.
        if (!BIsInsideInstallDir(strOld.Get()))
        {
            Log("Not deleting %s: it is outside the install directory\n", strOld.Get());
            continue;
        }
        // Directories and files that are gone already need nothing.
        if (!m_pFileOps->BFileExists(strOld.Get()) || m_pFileOps->BIsDirectory(strOld.Get()))
            continue;
        if (!BDeleteFileWithRetry(*m_pFileOps, strOld.Get()))
            Log("Failed to delete %s, which the update no longer ships\n", strOld.Get());
    }
}

bool CFerroUpdater::BWriteInstalledFileList(const char *pchPath, const CUtlVector<CUtlString> &vecNewFiles)
{
    std::string strList;
    char rgchLine[MAX_PATH_BYTES + 32];
    for (const CUtlString &strFile : vecNewFiles)
    {
        Q_snprintf(rgchLine, sizeof(rgchLine), "%s,%lld", strFile.Get(),
                   (long long)m_pFileOps->GetFileSize(strFile.Get()));
        strList += rgchLine;
        strList += "\n";
    }
    return BWriteWholeFile(*m_pFileOps, pchPath, strList.data(), strList.size(), true);
}
