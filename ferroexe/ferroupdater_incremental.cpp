// Which packages of a pending update an installation can leave as they are.
//
// An update usually changes a few packages of a large build. A package whose archive is
// the installed one (the same file name, which carries the archive's SHA-1, and the same
// size) and whose files are all there with the sizes the installed list gives them holds
// nothing new: it is neither checked nor unpacked nor committed, and its lines of the list
// are carried into the new one, which then reads as a full installation would have written
// it. The sizes are what every start trusts as well. Whenever the installed state itself is
// in doubt, every package is unpacked as before.
#include "ferroexe/ferroupdater.h"

#include "crypto/manifestverify.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace
{
// The installed lists of any beta: "arvo_launcher_*.installed".
const char k_szInstalledListWildcard[] = "arvo_launcher_*.installed";
const char k_szFullInstallMarkerName[] = "arvo_launcher.fullinstall";

bool BSameArchive(KeyValues *pInstalled, KeyValues *pPending)
{
    const char *pchFile = pPending->GetString("file");
    return pInstalled && pInstalled->GetFirstSubKey() && *pchFile &&
           strcmp(pInstalled->GetString("file"), pchFile) == 0 &&
           ManifestPackageSize(pInstalled) == ManifestPackageSize(pPending);
}

// The list's lines by package, and in *psetShared the packages that list a path another
// package lists as well: which of them wrote the file is not known.
void GroupByPackage(const std::vector<InstalledFile_t> &vecListed,
                    std::unordered_map<std::string, std::vector<const InstalledFile_t *>> *pmapByPackage,
                    std::unordered_set<std::string> *psetShared)
{
    std::unordered_map<std::string, const std::string *> mapOwner;
    for (const InstalledFile_t &entry : vecListed)
    {
        (*pmapByPackage)[entry.m_strPackage].push_back(&entry);
        auto result = mapOwner.emplace(InstalledFileKey(entry.m_strPath), &entry.m_strPackage);
        if (!result.second && *result.first->second != entry.m_strPackage)
        {
            psetShared->insert(*result.first->second);
            psetShared->insert(entry.m_strPackage);
        }
    }
}
} // namespace

std::string CFerroUpdater::FullInstallReason(const std::vector<InstalledFile_t> &vecListed, int cMalformed)
{
    if (m_bInhibitChecksum)
        return "the launcher's checksum is inhibited";
    if (m_bVerifyContentsRequested)
        return "the installation's content is to be verified";
    if (m_bFullInstallRequired || m_pFileOps->BFileExists(FullInstallMarkerPath().Get()) ||
        m_pFileOps->BFileExists(BackupJournalPath().Get()))
        return "an earlier installation was cut short";
    if (vecListed.empty() || cMalformed > 0)
        return "the installed file list is missing or cannot be read whole";
    for (const InstalledFile_t &entry : vecListed)
    {
        if (entry.m_strPackage.empty())
            return "the installed file list does not name the packages";
    }
    // The list of another beta (or of the build without one) stays behind only when the
    // beta was switched: which build's files are on disk is then not certain.
    char rgchList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchList, sizeof(rgchList), ".installed");
    CUtlString strPackageFolder = JoinPath(m_strInstallDir.Get(), k_szPackageFolder);
    std::vector<PlatDirEntry_t> vecLists;
    m_pFileOps->BListDirectory(strPackageFolder.Get(), k_szInstalledListWildcard, &vecLists);
    for (const PlatDirEntry_t &entry : vecLists)
    {
        if (Q_stricmp(entry.m_strName.c_str(), Q_UnqualifiedFileName(rgchList)) != 0)
            return "another beta's installed file list is there (" + entry.m_strName + ")";
    }
    return std::string();
}

CUtlString CFerroUpdater::FullInstallMarkerPath() const
{
    CUtlString strPath;
    strPath.Format("%s/%s/%s", m_strInstallDir.Get(), k_szPackageFolder, k_szFullInstallMarkerName);
    return strPath;
}

void CFerroUpdater::RequireFullInstall()
{
    m_bFullInstallRequired = true;
    CUtlString strMarker = FullInstallMarkerPath();
    if (!m_pFileOps->BFileExists(strMarker.Get()) &&
        !BWriteWholeFile(*m_pFileOps, strMarker.Get(), "", 0, false))
        Log("Failed to write %s\n", strMarker.Get());
}

KeptPackages_t CFerroUpdater::SelectKeptPackages(KeyValues *pManifest,
                                                 const std::vector<InstalledFile_t> &vecListed,
                                                 int cMalformed)
{
    KeptPackages_t kept;
    std::string strReason = FullInstallReason(vecListed, cMalformed);
    char rgchInstalledManifest[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledManifest, sizeof(rgchInstalledManifest), ".manifest");
    KeyValues *pInstalled = strReason.empty() ? LoadVerifiedManifestFile(rgchInstalledManifest) : nullptr;
    if (strReason.empty() && !pInstalled)
        strReason = "there is no installed manifest";
    if (!strReason.empty())
    {
        Log("Unpacking every package: %s\n", strReason.c_str());
        return kept;
    }
    CKeyValuesAutoDelete installedDelete(pInstalled);

    std::unordered_map<std::string, std::vector<const InstalledFile_t *>> mapByPackage;
    std::unordered_set<std::string> setShared;
    GroupByPackage(vecListed, &mapByPackage, &setShared);
    int cPackages = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey(), ++cPackages)
    {
        const char *pchName = pPackage->GetName();
        auto it = mapByPackage.find(pchName);
        if (it == mapByPackage.end() || setShared.count(pchName) ||
            !BSameArchive(pInstalled->FindKey(pchName), pPackage))
            continue;
        if (!BPackageFilesIntact(it->second))
        {
            Log("Unpacking %s again: its installed files are not as listed\n", pchName);
            continue;
        }
        kept.m_setNames.insert(pchName);
        for (const InstalledFile_t *pEntry : it->second)
            kept.m_vecEntries.push_back(*pEntry);
    }
    Log("%d of %d packages are installed as they are; %d to unpack\n", (int)kept.m_setNames.size(), cPackages,
        cPackages - (int)kept.m_setNames.size());
    return kept;
}

bool CFerroUpdater::BPackageFilesIntact(const std::vector<const InstalledFile_t *> &vecEntries)
{
    for (const InstalledFile_t *pEntry : vecEntries)
    {
        const char *pchPath = pEntry->m_strPath.c_str();
        // A line a full installation would not write the same way is not carried over.
        if (!BIsInsideInstallDir(pchPath) || (!pEntry->BIsDirectoryItem() && pEntry->m_strSHA256.empty()))
            return false;
        // One look per file, as at every start.
        PlatFileInfo_t info;
        m_pFileOps->BGetFileInfo(pchPath, &info);
        if (pEntry->BIsDirectoryItem() ? !info.m_bIsDirectory
                                       : info.m_bIsDirectory || info.m_llSize != pEntry->m_llSize)
            return false;
    }
    return true;
}

void CFerroUpdater::GetPackagesToUnpack(KeyValues *pManifest, const char *pchPackageDir,
                                        const std::unordered_set<std::string> &setKept,
                                        CUtlVector<CUtlString> &vecPaths, std::vector<std::string> *pvecNames)
{
    CUtlVector<CUtlString> vecAllPaths;
    GetPackagePathsIn(pManifest, pchPackageDir, vecAllPaths);
    int iPath = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage && iPath < vecAllPaths.Count();
         pPackage = pPackage->GetNextTrueSubKey(), ++iPath)
    {
        if (setKept.count(pPackage->GetName()))
            continue;
        vecPaths.AddToTail(vecAllPaths[iPath]);
        pvecNames->push_back(pPackage->GetName());
    }
}
