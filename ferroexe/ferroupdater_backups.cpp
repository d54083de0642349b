// The journal of a commit's backups, and what interrupted work leaves behind.
//
// A commit renames every file it replaces to "<name>.old" and deletes those backups once
// it is done. A commit that is cut short (the process killed, the power gone) never gets
// there, and the next installation may be of another build that does not replace those
// files again: so before its first rename a commit writes the names of all the backups it
// will make into a journal in the package folder ("arvo_launcher.backups", one path per
// line, relative to the install directory), and every run that holds the installation's
// lock deletes the backups the journal names. Backups that cannot be deleted yet (a
// running executable on Windows) stay in the journal for the next run.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>

namespace
{
const char k_szBackupSuffix[] = ".old";
const char k_szJournalName[] = "arvo_launcher.backups";
const char k_szJournalTempSuffix[] = ".new";

bool BEndsWith(const std::string &str, const char *pchEnd)
{
    size_t cchEnd = strlen(pchEnd);
    return str.size() >= cchEnd && str.compare(str.size() - cchEnd, cchEnd, pchEnd) == 0;
}
} // namespace

CUtlString CFerroUpdater::BackupJournalPath() const
{
    CUtlString strPath;
    strPath.Format("%s/package/%s", m_strInstallDir.Get(), k_szJournalName);
    return strPath;
}

bool CFerroUpdater::BReadBackupJournal(std::vector<std::string> *pvecBackups)
{
    std::vector<std::string> &vecBackups = *pvecBackups;
    vecBackups.clear();
    CUtlString strJournal = BackupJournalPath();
    InstallFileData_t data;
    if (!m_pFileOps->BReadWholeFile(strJournal.Get(), &data))
    {
        if (!m_pFileOps->BFileExists(strJournal.Get()))
            return true;
        Log("Failed to read %s\n", strJournal.Get());
        return false;
    }
    std::string strText((const char *)data.m_pubData.get(), data.m_cubData);
    size_t iStart = 0;
    while (iStart < strText.size())
    {
        size_t iEnd = strText.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = strText.size();
        std::string strLine = strText.substr(iStart, iEnd - iStart);
        while (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (!strLine.empty())
            vecBackups.push_back(strLine);
        iStart = iEnd + 1;
    }
    return true;
}

bool CFerroUpdater::BWriteBackupJournal(const std::vector<std::string> &vecBackups)
{
    CUtlString strJournal = BackupJournalPath();
    if (vecBackups.empty())
    {
        if (m_pFileOps->BFileExists(strJournal.Get()) && !BDeleteFileWithRetry(*m_pFileOps, strJournal.Get()))
        {
            Log("Failed to delete %s\n", strJournal.Get());
            return false;
        }
        return true;
    }
    std::string strText;
    for (const std::string &strBackup : vecBackups)
        strText += strBackup + "\n";
    // Written beside it and renamed over it: a journal is either the old one or the new one.
    CUtlString strTemp;
    strTemp.Format("%s%s", strJournal.Get(), k_szJournalTempSuffix);
    if (!BWriteWholeFile(*m_pFileOps, strTemp.Get(), strText.data(), strText.size(), false) ||
        !m_pFileOps->BRenameReplace(strTemp.Get(), strJournal.Get()))
    {
        Log("Failed to write %s\n", strJournal.Get());
        BDeleteFileWithRetry(*m_pFileOps, strTemp.Get());
        return false;
    }
    return true;
}

bool CFerroUpdater::BJournalPlannedBackups(const char *pchSourceRoot, std::vector<std::string> *pvecJournal)
{
    // Without the journal, backups of a commit cut short would stay for good: better no
    // commit.
    if (!BReadBackupJournal(pvecJournal))
    {
        SetUpdateError("Failed to read the list of backups before installing", false);
        return false;
    }
    std::unordered_set<std::string> setJournal(pvecJournal->begin(), pvecJournal->end());

    // The same walk as the commit's, with the same target names: every file of the
    // temporary folder whose target exists gets a backup.
    std::vector<std::string> vecDirs = {"."};
    while (!vecDirs.empty())
    {
        std::string strRelative = vecDirs.back();
        vecDirs.pop_back();
        std::string strListDir = std::string(pchSourceRoot) + "/" + strRelative;
        std::vector<PlatDirEntry_t> vecEntries;
        if (!m_pFileOps->BListDirectory(strListDir.c_str(), "*", &vecEntries))
        {
            if (!m_pFileOps->BFileExists(strListDir.c_str()))
                continue;
            Log("BCommitUpdatedFiles: failed to list %s\n", strListDir.c_str());
            return false;
        }
        for (const PlatDirEntry_t &entry : vecEntries)
        {
            std::string strTarget = strRelative + "/" + entry.m_strName;
            if (entry.m_bIsDirectory)
            {
                vecDirs.push_back(strTarget);
                continue;
            }
            if (BIsExemptLauncher(strTarget.c_str()))
                continue;
            if (!m_pFileOps->BFileExists(strTarget.c_str()) && !m_pFileOps->BIsLink(strTarget.c_str()))
                continue;
            std::string strBackup = strTarget + k_szBackupSuffix;
            if (setJournal.insert(strBackup).second)
                pvecJournal->push_back(strBackup);
        }
    }
    if (!BWriteBackupJournal(*pvecJournal))
    {
        SetUpdateError("Failed to write the list of backups before installing", false);
        return false;
    }
    return true;
}

std::vector<std::string>
CFerroUpdater::DeleteJournalBackups(const std::vector<std::string> &vecBackups,
                                    const std::unordered_set<std::string> &setListedFiles)
{
    std::vector<std::string> vecStay;
    for (const std::string &strBackup : vecBackups)
    {
        // The journal is a file on disk like any other: only backups inside the install
        // directory, reached without a link, and never a file the build itself ships.
        if (!BEndsWith(strBackup, k_szBackupSuffix) || !BIsInsideInstallDir(strBackup.c_str()) ||
            BPathCrossesLink(strBackup.c_str()) || setListedFiles.count(InstalledFileKey(strBackup)))
        {
            Log("Not deleting %s: it is no backup of ours\n", strBackup.c_str());
            continue;
        }
        const char *pchBackup = strBackup.c_str();
        bool bLink = m_pFileOps->BIsLink(pchBackup);
        if (!bLink && !m_pFileOps->BFileExists(pchBackup))
            continue;
        bool bDeleted = m_pFileOps->BIsDirectory(pchBackup) || bLink
                            ? BDeleteDirectoryTree(*m_pFileOps, pchBackup)
                            : BDeleteFileWithRetry(*m_pFileOps, pchBackup);
        if (bDeleted)
        {
            Log("Deleted %s, a backup left by an earlier installation\n", pchBackup);
        }
        else
        {
            Log("Failed to delete %s, a backup left by an earlier installation\n", pchBackup);
            vecStay.push_back(strBackup);
        }
    }
    return vecStay;
}

void CFerroUpdater::RemoveLeftoversOfInterruptedWork()
{
    std::string strTempDir = TempFolder();
    if (m_pFileOps->BFileExists(strTempDir.c_str()) || m_pFileOps->BIsLink(strTempDir.c_str()))
    {
        // Unpacked files of an installation that did not finish: a refused archive that
        // filled the disk must give its space back before anything checks for free space.
        Log("Removing %s left by an earlier run\n", strTempDir.c_str());
        ClearTemporaryFolder();
    }
    std::vector<std::string> vecJournal;
    if (!BReadBackupJournal(&vecJournal) || vecJournal.empty())
        return;
    RequireFullInstall();
    char rgchList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchList, sizeof(rgchList), ".installed");
    BWriteBackupJournal(DeleteJournalBackups(vecJournal, ReadListedFileKeys(rgchList)));
}
