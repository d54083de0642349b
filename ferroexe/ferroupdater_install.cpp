// Installing a complete pending update: unpack every archive into "package/tmp" (but those
// the installed build holds as they are, see ferroupdater_incremental.cpp), move the files
// into the install directory one by one keeping the replaced ones as ".old" backups, then
// either drop the backups or move them back, clean up, and record the installed file list
// and manifest.
//
// Only the commit changes the install directory: a failure before it leaves the
// installation untouched, a failure inside it is undone step by step (what it added goes,
// what it replaced comes back), and the pending manifest goes last, so an installation cut
// short after the commit is done again at the next start. The backups a commit will make are
// written to a journal before the first rename, so that backups of a commit that was cut
// short are removed by a later run.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/installedfilelist.h"
#include "ferroexe/installpaths.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>
#include <unordered_set>

namespace
{
const char k_szBackupSuffix[] = ".old";
const char k_szCleanupFailToken[] = "#FerroBootstrapper_UpdateCleanupFail";
const char k_szBackupsStayText[] =
    "Failed to clear up temporary update files used for rollback, continuing anyway";
// Tries, and the pause between them, to remove the launcher replaced by the last update.
const int k_cOldExecutableDeleteTries = 20;
const uint32 k_msOldExecutableDeletePause = 100;
const char k_szArchivesStayText[] = "Failed to delete unreferenced zip files, continuing anyway";
const char k_szTempFolderStaysText[] = "Failed to remove temporary unzip folder, continuing anyway";

} // namespace

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

namespace
{
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
    // Each new file is a name that is not there yet, looked up without regard to case: its
    // directory is listed once for the whole installation, not once per file. The lock
    // keeps other launchers out meanwhile.
    CPlatDirectoryListingScope listings;
    if (!BIsUpdatePending())
        return false;
    if (!BHasFreeDiskSpaceForUpdate())
        return false;

    char rgchInstalledList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledList, sizeof(rgchInstalledList), ".installed");
    std::vector<InstalledFile_t> vecListed;
    int cMalformed = 0;
    ReadInstalledFileEntries(rgchInstalledList, &vecListed, &cMalformed);
    const std::unordered_set<std::string> setListedFiles = ListedFileKeys(vecListed);

    char rgchPendingManifest[MAX_PATH_BYTES];
    BuildPackageBasePath(rgchPendingManifest, sizeof(rgchPendingManifest), k_szPackageFolder, true);
    KeyValues *pManifest = LoadPendingManifestToInstall(rgchPendingManifest);
    if (!pManifest)
        return false;
    CKeyValuesAutoDelete manifestDelete(pManifest);

    // Packages installed as they are are not unpacked, and their files are not old ones.
    const KeptPackages_t kept = SelectKeptPackages(pManifest, vecListed, cMalformed);
    CUtlVector<CUtlString> vecOldFiles;
    for (const InstalledFile_t &entry : vecListed)
    {
        if (!kept.m_setNames.count(entry.m_strPackage))
            vecOldFiles.AddToTail(CUtlString(entry.m_strPath));
    }
    CUtlVector<CUtlString> vecPackagePaths;
    std::vector<std::string> vecPackageNames;
    GetPackagesToUnpack(pManifest, GetPackageDir().Get(), kept.m_setNames, vecPackagePaths, &vecPackageNames);
    CUtlVector<CUtlString> vecNewFiles;
    ExtractedFiles_t extracted;
    EUnpackResult eUnpack =
        UnpackPackages(pManifest, vecPackagePaths, vecPackageNames, vecOldFiles, vecNewFiles, &extracted);
    if (eUnpack == k_EUnpackRefused)
    {
        // The update cannot be installed as it is: the next check fetches the manifest and
        // the refused archive again.
        BDeleteFileWithRetry(*m_pFileOps, rgchPendingManifest);
        return false;
    }
    if (eUnpack != k_EUnpackDone)
        return false;

    if (!BCommitTemporaryFolder(setListedFiles))
        return false;

    if (!BCleanupPackageDir(pManifest, k_szPackageFolder))
        UpdateStatusLocalized(k_szCleanupFailToken, k_szArchivesStayText);
    DeleteObsoleteFiles(vecOldFiles);

    if (!BRecordInstalledBuild(pManifest, rgchInstalledList, kept.m_vecEntries, vecNewFiles, extracted))
        return false;
    BDeleteFileWithRetry(*m_pFileOps, rgchPendingManifest);

    UpdateStatusLocalized("#FerroBootstrapper_UpdateComplete", "Update complete, launching...");
    return true;
}

KeyValues *CFerroUpdater::LoadPendingManifestToInstall(const char *pchPendingManifest)
{
    // A manifest that cannot be read, is empty, does not load or does not verify is unusable
    // alike; one that is there and does not verify goes, so that the update is fetched anew.
    bool bRefused = false;
    KeyValues *pManifest = LoadVerifiedManifestFile(pchPendingManifest, &bRefused);
    if (pManifest)
        return pManifest;
    if (bRefused && BDeleteFileWithRetry(*m_pFileOps, pchPendingManifest))
        Log("Deleted the refused pending manifest %s\n", pchPendingManifest);
    SetUpdateError(
        LocalizeUpdaterText("#FerroBootstrapper_FailedManifestLoad", "Failed to load package manifest.")
            .Get(),
        false);
    return nullptr;
}

bool CFerroUpdater::BRecordInstalledBuild(KeyValues *pManifest, const char *pchInstalledList,
                                          const std::vector<InstalledFile_t> &vecKept,
                                          const CUtlVector<CUtlString> &vecNewFiles,
                                          const ExtractedFiles_t &extracted)
{
    BDeleteFileWithRetry(*m_pFileOps, pchInstalledList);
    if (!BWriteInstalledFileList(pchInstalledList, vecKept, vecNewFiles, extracted))
    {
        // The pending manifest stays: the next start finds the list missing and the update
        // still pending, and installs it again.
        SetUpdateError(
            LocalizeUpdaterText("#FerroBootstrapper_UpdateFinalizeFail", "Failed to open install file list")
                .Get(),
            false);
        return false;
    }
    // Every package was unpacked while the marker was there: the files are this build's.
    CUtlString strMarker = FullInstallMarkerPath();
    if (m_pFileOps->BFileExists(strMarker.Get()))
        BDeleteFileWithRetry(*m_pFileOps, strMarker.Get());
    if (!GetClientBeta().IsEmpty())
    {
        // Leaving the beta later then finds no list and installs the build without beta.
        BDeleteFileWithRetry(*m_pFileOps, NonBetaInstalledFilePath(*this, ".installed").Get());
    }
    char rgchInstalledManifest[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledManifest, sizeof(rgchInstalledManifest), ".manifest");
    if (!BSaveManifestFile(pManifest, rgchInstalledManifest))
        Log("Failed to save installed manifest %s\n", rgchInstalledManifest);
    return true;
}

bool CFerroUpdater::BCommitTemporaryFolder(const std::unordered_set<std::string> &setListedFiles)
{
    const std::string strTempDir = TempFolder();
    CommitRecord_t record;
    record.m_pListedFiles = &setListedFiles;
    std::vector<std::string> vecJournal;
    bool bCommitted = BJournalPlannedBackups(strTempDir.c_str(), &vecJournal) &&
                      BCommitUpdatedFiles(strTempDir.c_str(), ".", record);
    if (bCommitted)
    {
        bool bAllDeleted = BDeleteBackupFiles(record);
        // Backups of an earlier commit that was cut short go with this one's.
        std::vector<std::string> vecStay = DeleteJournalBackups(vecJournal, setListedFiles);
        if (!bAllDeleted || !vecStay.empty())
            UpdateStatusLocalized(k_szCleanupFailToken, k_szBackupsStayText);
        BWriteBackupJournal(vecStay);
    }
    else
    {
        UpdateStatusLocalized("#FerroBootstrapper_UpdateApplyFail", "Failed to apply update, reverting...");
        RollbackUpdatedFiles(record);
        // Backups that could not be put back stay named in the journal (with those it named
        // before); the next installation completes the build and removes them.
        if (record.m_vecSteps.empty())
        {
            // Nothing left to undo: the journal holds no more than before this commit.
            std::vector<std::string> vecBefore;
            for (const std::string &strBackup : vecJournal)
            {
                if (m_pFileOps->BFileExists(strBackup.c_str()))
                    vecBefore.push_back(strBackup);
            }
            BWriteBackupJournal(vecBefore);
        }
    }
    if (!BDeleteDirectoryTree(*m_pFileOps, strTempDir.c_str()))
        UpdateStatusLocalized(k_szCleanupFailToken, k_szTempFolderStaysText);
    return bCommitted;
}

std::string CFerroUpdater::TempFolder() const
{
    char rgchTempDir[MAX_PATH_BYTES];
    Q_snprintf(rgchTempDir, sizeof(rgchTempDir), "%s/tmp", k_szPackageFolder);
    return BackslashPath(rgchTempDir);
}

void CFerroUpdater::ClearTemporaryFolder()
{
    std::string strTempDir = TempFolder();
    if (!BDeleteDirectoryTree(*m_pFileOps, strTempDir.c_str()))
        Log("Failed to remove temporary unzip folder %s\n", strTempDir.c_str());
}

bool CFerroUpdater::BCommitUpdatedFiles(const char *pchSourceRoot, const char *pchRelativeDir,
                                        CommitRecord_t &record)
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
        if (entry.m_bIsDirectory)
        {
            if (!BCommitUpdatedDirectory(pchSourceRoot, strTarget, record))
                return false;
            continue;
        }
        if (BIsExemptLauncher(strTarget.c_str()))
            continue;
        if (!BCommitUpdatedFile(JoinPath(pchSourceRoot, strTarget.c_str()).Get(), strTarget, record))
            return false;
    }
    return true;
}

bool CFerroUpdater::BCommitUpdatedDirectory(const char *pchSourceRoot, const std::string &strTarget,
                                            CommitRecord_t &record)
{
    // A file where the build has a directory is not ours to remove. The directory's parent
    // exists (the walk goes down from the top), so it is created alone.
    bool bExists = m_pFileOps->BFileExists(strTarget.c_str());
    if (bExists && !m_pFileOps->BIsDirectory(strTarget.c_str()))
    {
        Log("BCommitUpdatedFiles: failed to create directory %s\n", strTarget.c_str());
        return false;
    }
    if (!bExists)
    {
        if (!m_pFileOps->BCreateDirectory(strTarget.c_str()))
        {
            Log("BCommitUpdatedFiles: failed to create directory %s\n", strTarget.c_str());
            return false;
        }
        record.m_vecSteps.push_back({CommitStep_t::k_ECreatedDirectory, strTarget, std::string()});
    }
    if (!BCommitUpdatedFiles(pchSourceRoot, strTarget.c_str(), record))
    {
        Log("BCommitUpdatedFiles: failed to update date %s\n", strTarget.c_str());
        return false;
    }
    return true;
}

bool CFerroUpdater::BCommitUpdatedFile(const std::string &strSource, const std::string &strTarget,
                                       CommitRecord_t &record)
{
    if (m_pFileOps->BFileExists(strTarget.c_str()) || m_pFileOps->BIsLink(strTarget.c_str()))
    {
        std::string strBackup = strTarget + k_szBackupSuffix;
        // A directory where the build has a file is not ours to move aside either, unless it
        // stands where the installed list has our file.
        bool bMovable = !m_pFileOps->BIsDirectory(strTarget.c_str()) ||
                        (record.m_pListedFiles && record.m_pListedFiles->count(InstalledFileKey(strTarget)));
        if (!bMovable || !m_pFileOps->BRenameReplace(strTarget.c_str(), strBackup.c_str()))
        {
            Log("BCommitUpdatedFiles: failed to rename %s -> %s\n", strTarget.c_str(), strBackup.c_str());
            return false;
        }
        record.m_vecSteps.push_back({CommitStep_t::k_EBackup, strTarget, strBackup});
    }
    else
    {
        // Recorded before the move: a move that fails half-way must be undone as well.
        record.m_vecSteps.push_back({CommitStep_t::k_EAddedFile, strTarget, std::string()});
    }
    if (!m_pFileOps->BRenameReplace(strSource.c_str(), strTarget.c_str()))
    {
        Log("BCommitUpdatedFiles: failed to rename %s -> %s\n", strSource.c_str(), strTarget.c_str());
        return false;
    }
    return true;
}

namespace
{
// One more try of a step of the rollback: a transient error (EIO, a virus scanner holding
// the file for a moment) must not leave a mix behind.
template <typename Fn>
bool BTwice(Fn fn)
{
    return fn() || fn();
}
} // namespace

void CFerroUpdater::RollbackUpdatedFiles(CommitRecord_t &record)
{
    std::vector<CommitStep_t> vecNotUndone;
    for (auto it = record.m_vecSteps.rbegin(); it != record.m_vecSteps.rend(); ++it)
    {
        const CommitStep_t &step = *it;
        const char *pchTarget = step.m_strTarget.c_str();
        bool bUndone = true;
        switch (step.m_eKind)
        {
        case CommitStep_t::k_EAddedFile:
            bUndone = !m_pFileOps->BFileExists(pchTarget) ||
                      BTwice([&] { return BDeleteFileWithRetry(*m_pFileOps, pchTarget); });
            if (!bUndone)
                Log("RollbackUpdatedFiles: failed to delete %s\n", pchTarget);
            break;
        case CommitStep_t::k_EBackup:
        {
            const char *pchBackup = step.m_strBackup.c_str();
            // A directory that was moved aside cannot be renamed over the file that replaced
            // it: that file goes first.
            if (m_pFileOps->BIsDirectory(pchBackup) && m_pFileOps->BFileExists(pchTarget) &&
                !m_pFileOps->BIsDirectory(pchTarget))
                BTwice([&] { return BDeleteFileWithRetry(*m_pFileOps, pchTarget); });
            bUndone = BTwice([&] { return m_pFileOps->BRenameReplace(pchBackup, pchTarget); });
            if (!bUndone)
                Log("RollbackUpdatedFiles: failed to rename %s -> %s\n", pchBackup, pchTarget);
            break;
        }
        case CommitStep_t::k_ECreatedDirectory:
            bUndone = !m_pFileOps->BFileExists(pchTarget) ||
                      BTwice([&] { return m_pFileOps->BRemoveDirectory(pchTarget); });
            if (!bUndone)
                Log("RollbackUpdatedFiles: failed to remove directory %s\n", pchTarget);
            break;
        }
        if (!bUndone)
            vecNotUndone.insert(vecNotUndone.begin(), step);
    }
    record.m_vecSteps.swap(vecNotUndone);
}

bool CFerroUpdater::BDeleteBackupFiles(CommitRecord_t &record)
{
    bool bAll = true;
    std::vector<CommitStep_t> vecStay;
    for (const CommitStep_t &step : record.m_vecSteps)
    {
        if (step.m_eKind != CommitStep_t::k_EBackup)
            continue;
        const char *pchBackup = step.m_strBackup.c_str();
        // The launcher that is running was moved aside, and Windows does not delete a
        // running program: the next start removes it (RemoveOldExecutable).
        if (BIsRunningExecutableBackup(pchBackup))
        {
            if (!m_pFileOps->BDeleteFile(pchBackup))
                Log("The replaced launcher %s goes at the next start", pchBackup);
            continue;
        }
        // A directory goes as a tree, a link as the link.
        bool bDeleted = m_pFileOps->BIsDirectory(pchBackup) || m_pFileOps->BIsLink(pchBackup)
                            ? BDeleteDirectoryTree(*m_pFileOps, pchBackup)
                            : BDeleteFileWithRetry(*m_pFileOps, pchBackup);
        if (!bDeleted)
            vecStay.push_back(step);
        bAll = bDeleted && bAll;
    }
    record.m_vecSteps.swap(vecStay);
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
        BDeleteFileWithRetry(*m_pFileOps, JoinPath(pchPackageDir, entry.m_strName.c_str()).Get());
    }
    return true;
}

void CFerroUpdater::DeleteObsoleteFiles(const CUtlVector<CUtlString> &vecOldFiles)
{
    CDirectoryPresence directories(*m_pFileOps);
    for (const CUtlString &strOld : vecOldFiles)
    {
        // The list is a file on disk like any other: it must not steer a delete elsewhere,
        // neither by its path nor through a link that stands in the install directory.
        if (!BIsInsideInstallDir(strOld.Get()))
        {
            Log("Not deleting %s: it is outside the install directory\n", strOld.Get());
            continue;
        }
        // What is not there needs nothing (and a long list costs a listing per directory).
        if (!directories.BMayExist(strOld.StdString()))
            continue;
        if (BPathCrossesLink(strOld.Get()))
        {
            Log("Not deleting %s: its directory is a link\n", strOld.Get());
            continue;
        }
        // Directories and files that are gone already need nothing. A link is removed itself.
        bool bLink = m_pFileOps->BIsLink(strOld.Get());
        if (!bLink && (!m_pFileOps->BFileExists(strOld.Get()) || m_pFileOps->BIsDirectory(strOld.Get())))
            continue;
        bool bDeleted = BDeleteFileWithRetry(*m_pFileOps, strOld.Get()) ||
                        (bLink && m_pFileOps->BRemoveDirectory(strOld.Get()));
        if (!bDeleted)
            Log("Failed to delete %s, which the update no longer ships\n", strOld.Get());
    }
}

bool CFerroUpdater::BPathCrossesLink(const char *pchPath)
{
    std::string strPath = pchPath;
    for (size_t i = 0; i < strPath.size(); ++i)
    {
        if (!Q_IsPathSeparator(strPath[i]) || i == 0)
            continue;
        std::string strPrefix = strPath.substr(0, i);
        if (strPrefix == "." || strPrefix == "./" || strPrefix == ".\\")
            continue;
        if (m_pFileOps->BIsLink(strPrefix.c_str()))
            return true;
    }
    return false;
}

std::unordered_set<std::string> ListedFileKeys(const std::vector<InstalledFile_t> &vecEntries)
{
    std::unordered_set<std::string> setKeys;
    for (const InstalledFile_t &file : vecEntries)
    {
        if (!file.BIsDirectoryItem())
            setKeys.insert(InstalledFileKey(file.m_strPath));
    }
    return setKeys;
}

std::unordered_set<std::string> CFerroUpdater::ReadListedFileKeys(const char *pchListPath)
{
    std::vector<InstalledFile_t> vecEntries;
    ReadInstalledFileEntries(pchListPath, &vecEntries);
    return ListedFileKeys(vecEntries);
}

bool CFerroUpdater::BWriteInstalledFileList(const char *pchPath, const std::vector<InstalledFile_t> &vecKept,
                                            const CUtlVector<CUtlString> &vecNewFiles,
                                            const ExtractedFiles_t &extracted)
{
    std::string strList;
    std::unordered_set<std::string> setNew;
    for (const CUtlString &strFile : vecNewFiles)
        setNew.insert(InstalledFileKey(strFile.Get()));
    for (const InstalledFile_t &entry : vecKept)
    {
        // A file the new packages ship as well is listed once, as they installed it.
        if (!setNew.count(InstalledFileKey(entry.m_strPath)))
            strList += FormatInstalledFileLine(entry.m_strPath, entry.m_llSize, entry.m_strSHA256,
                                               entry.m_strPackage);
    }
    for (const CUtlString &strFile : vecNewFiles)
    {
        int64 llSize = m_pFileOps->GetFileSize(strFile.Get());
        std::string strSHA256, strPackage;
        auto it = extracted.find(InstalledFileKey(strFile.Get()));
        if (it != extracted.end())
        {
            strPackage = it->second.m_strPackage;
            // The launcher left in place is not the file that was unpacked.
            if (llSize >= 0 && !BIsExemptLauncher(strFile.Get()))
                strSHA256 = it->second.m_strSHA256;
        }
        strList += FormatInstalledFileLine(strFile.Get(), llSize, strSHA256, strPackage);
    }
    return BWriteWholeFile(*m_pFileOps, pchPath, strList.data(), strList.size(), true);
}
