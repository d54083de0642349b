// The content check of an installation and its repair.
//
// The start-up check compares sizes only: quick, and enough after a clean run. A file can
// change without changing its size (a disk error, an editor, a half-applied patch of some
// other tool), so after an unclean shutdown, on "-verify" and when the client asks through
// VerifyInstallation, every listed file is read and its SHA-256 compared with the one the
// list recorded when the file was unpacked. What differs is installed again from the
// packages that hold it; the others are not touched.
#include "ferroexe/ferroupdater.h"

#include "crypto/sha256.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace
{
// Files read for the digest in pieces of this size.
const size_t k_cubHashBuffer = 1024 * 1024;
// The log names this many damaged files, then counts the rest.
const int k_cMaxDamageLogged = 50;
// Beyond this many damaged files the list is in doubt as a whole: the build is installed
// again instead of remembering each file.
const size_t k_cMaxDamagedKept = 10000;

// The SHA-256 of a file as lower-case hex, reading it in pieces; empty when it cannot be
// read. *pbStopped when fnStop said so between two pieces.
std::string HashFile(const char *pchPath, uint8 *pubBuffer, const std::function<bool(size_t)> &fnPiece,
                     bool *pbStopped)
{
    FILE *pFile = PLAT_fopen(pchPath, "rb");
    if (!pFile)
        return std::string();
    CSHA256 sha256;
    bool bOk = true;
    for (;;)
    {
        size_t cubRead = fread(pubBuffer, 1, k_cubHashBuffer, pFile);
        if (cubRead > 0)
            sha256.Update(pubBuffer, cubRead);
        if (cubRead < k_cubHashBuffer)
        {
            bOk = !ferror(pFile);
            break;
        }
        if (!fnPiece(cubRead))
        {
            *pbStopped = true;
            bOk = false;
            break;
        }
    }
    fclose(pFile);
    return bOk ? sha256.FinalHex() : std::string();
}

// The bytes read so far against the bytes there are to read, shown as a percentage when it
// changes. Each step asks whether to go on.
class CVerifyProgress
{
public:
    CVerifyProgress(uint64 cubTotal, std::function<void(int)> fnShow, std::function<bool()> fnStop)
        : m_cubTotal(cubTotal), m_fnShow(std::move(fnShow)), m_fnStop(std::move(fnStop))
    {
    }
    bool BAdvance(size_t cubMore)
    {
        m_cubDone += cubMore;
        uint64 cubShown = m_cubDone > m_cubTotal ? m_cubTotal : m_cubDone;
        int nPercent = m_cubTotal ? (int)((double)cubShown * 100.0 / (double)m_cubTotal) : 100;
        if (nPercent != m_nLastPercent)
        {
            m_nLastPercent = nPercent;
            m_fnShow(nPercent);
        }
        return !m_fnStop();
    }
    uint64 CubDone() const { return m_cubDone; }

private:
    uint64 m_cubTotal;
    uint64 m_cubDone = 0;
    int m_nLastPercent = -1;
    std::function<void(int)> m_fnShow;
    std::function<bool()> m_fnStop;
};

// The damaged files found: the first ones logged by name, the rest counted; kept for the
// repair up to a bound, beyond which one entry with an empty path says the list is in doubt
// (as it does for a line that could not be read).
class CDamageList
{
public:
    CDamageList(CFerroUpdater &updater, std::vector<InstalledFile_t> *pvecDamaged)
        : m_Updater(updater), m_pvecDamaged(pvecDamaged)
    {
    }
    void Add(const InstalledFile_t &file, const std::string &strWhy)
    {
        ++m_cDamaged;
        if (m_cDamaged <= k_cMaxDamageLogged)
            m_Updater.Log("BVerifyInstalledContents: %s %s\n", file.m_strPath.c_str(), strWhy.c_str());
        if (m_pvecDamaged->size() < k_cMaxDamagedKept)
        {
            m_pvecDamaged->push_back(file);
        }
        else if (!m_bInDoubt)
        {
            m_bInDoubt = true;
            m_pvecDamaged->push_back(InstalledFile_t());
        }
    }
    int Count() const { return m_cDamaged; }

private:
    CFerroUpdater &m_Updater;
    std::vector<InstalledFile_t> *m_pvecDamaged;
    int m_cDamaged = 0;
    bool m_bInDoubt = false;
};

// What one pass over the installed list works with.
struct VerifyPass_t
{
    CDirectoryPresence &m_Directories;
    uint8 *m_pubBuffer;
    CVerifyProgress &m_Progress;
    CDamageList &m_Damage;
};

// The bytes the entries of the list name: the whole of the progress. False when there is
// no list.
bool BCountListedBytes(const char *pchListPath, uint64 *pcubTotal)
{
    CInstalledFileListReader list(pchListPath);
    if (!list.BIsOpen())
        return false;
    InstalledFile_t file;
    std::string strLine;
    CInstalledFileListReader::ELine eLine;
    while ((eLine = list.Next(&file, &strLine)) != CInstalledFileListReader::k_ELineEnd)
    {
        if (eLine == CInstalledFileListReader::k_ELineEntry && file.m_llSize > 0)
            *pcubTotal += (uint64)file.m_llSize;
    }
    return true;
}

// Whether the file's size matches the list's (a directory item: whether a directory is
// there); what differs goes to the damage list, and the bytes of a file that will not be
// read count as done. False when the file is damaged or settled without reading it.
bool BSizeMatches(const InstalledFile_t &file, VerifyPass_t &pass, int64 *pllSize)
{
    const char *pchPath = file.m_strPath.c_str();
    const bool bMayExist = pass.m_Directories.BMayExist(file.m_strPath);
    const bool bIsDirectory = bMayExist && PLAT_IsDirectory(pchPath);
    if (file.BIsDirectoryItem())
    {
        if (!bIsDirectory &&
            !(file.m_llSize == -1 && !file.m_strPath.empty() && file.m_strPath.back() == '\\'))
            pass.m_Damage.Add(file, "is missing (a directory)");
        return false;
    }
    if (bIsDirectory)
    {
        pass.m_Damage.Add(file, "is a directory where the list has a file");
        return false;
    }
    const size_t cubListed = (size_t)(file.m_llSize > 0 ? file.m_llSize : 0);
    *pllSize = bMayExist ? PLAT_GetFileSize(pchPath) : -1;
    if (*pllSize < 0)
    {
        pass.m_Damage.Add(file, "is missing");
        pass.m_Progress.BAdvance(cubListed);
        return false;
    }
    if (*pllSize != file.m_llSize)
    {
        pass.m_Damage.Add(file, "has the wrong size: " + std::to_string(*pllSize) + " bytes, the list says " +
                                    std::to_string(file.m_llSize));
        pass.m_Progress.BAdvance(cubListed);
        return false;
    }
    return true;
}

// Checks one entry of the list: its size, then its content. False when stopped meanwhile.
bool BCheckListedFile(const InstalledFile_t &file, VerifyPass_t &pass)
{
    int64 llSize = 0;
    if (!BSizeMatches(file, pass, &llSize))
        return true;
    if (file.m_strSHA256.empty())
    {
        // Listed by an older launcher (or the field is not a digest): its content cannot be
        // vouched for.
        pass.m_Damage.Add(file, "has no content hash in the list");
        pass.m_Progress.BAdvance((size_t)llSize);
        return true;
    }
    bool bStopped = false;
    uint64 cubBefore = pass.m_Progress.CubDone();
    std::string strActual = HashFile(
        file.m_strPath.c_str(), pass.m_pubBuffer, [&](size_t cub) { return pass.m_Progress.BAdvance(cub); },
        &bStopped);
    if (bStopped)
        return false;
    // The last piece (or a file of one piece) counts now.
    pass.m_Progress.BAdvance((size_t)((uint64)llSize - (pass.m_Progress.CubDone() - cubBefore)));
    if (strActual.empty())
        pass.m_Damage.Add(file, "cannot be read");
    else if (strActual != file.m_strSHA256)
        pass.m_Damage.Add(file, "has other content than the list says (SHA-256 " + strActual + ")");
    return true;
}
} // namespace

void CFerroUpdater::RequestContentVerification()
{
    m_bVerifyContentsRequested = true;
}

bool CFerroUpdater::BVerifyInstalledContents(std::vector<InstalledFile_t> *pvecDamaged, bool *pbStopped)
{
    // Missing files of one large directory are each looked up there: one listing for all.
    CPlatDirectoryListingScope listings;
    *pbStopped = false;
    char rgchListPath[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchListPath, sizeof(rgchListPath), ".installed");

    // A first pass for the progress: the bytes there are to read.
    uint64 cubTotal = 0;
    if (!BCountListedBytes(rgchListPath, &cubTotal))
    {
        Log("BVerifyInstalledContents: there is no installed file list %s\n", rgchListPath);
        pvecDamaged->push_back(InstalledFile_t());
        return false;
    }

    std::unique_ptr<uint8[]> pubBuffer(new uint8[k_cubHashBuffer]);
    CVerifyProgress progress(
        cubTotal, [this](int nPercent) { SetProgress(nPercent); }, [this]() { return BStopRequested(); });
    progress.BAdvance(0);
    CDamageList damage(*this, pvecDamaged);
    CDirectoryPresence directories(*m_pFileOps);
    VerifyPass_t pass{directories, pubBuffer.get(), progress, damage};

    int cFiles = 0;
    CInstalledFileListReader list(rgchListPath);
    InstalledFile_t file;
    std::string strLine;
    CInstalledFileListReader::ELine eLine;
    while ((eLine = list.Next(&file, &strLine)) != CInstalledFileListReader::k_ELineEnd)
    {
        if (!progress.BAdvance(0))
        {
            *pbStopped = true;
            break;
        }
        if (eLine == CInstalledFileListReader::k_ELineMalformed)
        {
            // Whatever that line was meant to name is not known: the list is in doubt.
            std::string strShown = strLine.substr(0, 200);
            while (!strShown.empty() && (strShown.back() == '\n' || strShown.back() == '\r'))
                strShown.pop_back();
            damage.Add(InstalledFile_t(), "(malformed line '" + strShown + "')");
            continue;
        }
        if (BIsExemptLauncher(file.m_strPath.c_str()))
            continue;
        ++cFiles;
        if (!BCheckListedFile(file, pass))
        {
            *pbStopped = true;
            break;
        }
    }
    if (*pbStopped)
    {
        Log("BVerifyInstalledContents: stopped\n");
        return false;
    }
    if (damage.Count() > k_cMaxDamageLogged)
        Log("BVerifyInstalledContents: %d more damaged files not named\n",
            damage.Count() - k_cMaxDamageLogged);
    Log("BVerifyInstalledContents: %d files checked, %d damaged\n", cFiles, damage.Count());
    return damage.Count() == 0;
}

bool CFerroUpdater::BRepairInstalledFiles(const std::vector<InstalledFile_t> &vecDamaged)
{
    CPlatDirectoryListingScope listings;
    std::unordered_set<std::string> setPackages;
    for (const InstalledFile_t &file : vecDamaged)
    {
        if (file.m_strPath.empty() || file.m_strPackage.empty())
        {
            Log("Cannot tell which packages hold the damaged files: installing the build again\n");
            return false;
        }
        setPackages.insert(file.m_strPackage);
    }
    if (setPackages.empty())
        return true;

    char rgchInstalledManifest[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledManifest, sizeof(rgchInstalledManifest), ".manifest");
    KeyValues *pManifest = LoadVerifiedManifestFile(rgchInstalledManifest);
    if (!pManifest)
    {
        Log("No installed manifest to repair from: installing the build again\n");
        return false;
    }
    CKeyValuesAutoDelete manifestDelete(pManifest);

    CUtlString strPackageDir = GetPackageDir();
    CUtlVector<CUtlString> vecPaths;
    std::vector<std::string> vecNames;
    if (!BSelectRepairPackages(pManifest, strPackageDir.Get(), setPackages, vecPaths, &vecNames))
    {
        Log("The installed manifest does not name every package of the damaged files: installing the build "
            "again\n");
        return false;
    }
    std::string strNames;
    for (const std::string &strName : vecNames)
        strNames += (strNames.empty() ? "" : ", ") + strName;
    Log("Repairing %d files from the packages %s\n", (int)vecDamaged.size(), strNames.c_str());

    if (!BFetchRepairArchives(pManifest, strPackageDir.Get(), setPackages) || !BHasFreeDiskSpaceForUpdate())
        return false;
    return BReinstallPackages(pManifest, vecPaths, vecNames, setPackages);
}

bool CFerroUpdater::BSelectRepairPackages(KeyValues *pManifest, const char *pchPackageDir,
                                          const std::unordered_set<std::string> &setPackages,
                                          CUtlVector<CUtlString> &vecPaths,
                                          std::vector<std::string> *pvecNames)
{
    CUtlVector<CUtlString> vecAllPaths;
    GetPackagePathsIn(pManifest, pchPackageDir, vecAllPaths);
    int iPath = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey(), ++iPath)
    {
        if (!setPackages.count(pPackage->GetName()))
            continue;
        vecPaths.AddToTail(vecAllPaths[iPath]);
        pvecNames->push_back(pPackage->GetName());
    }
    return pvecNames->size() == setPackages.size();
}

bool CFerroUpdater::BFetchRepairArchives(KeyValues *pManifest, const char *pchPackageDir,
                                         const std::unordered_set<std::string> &setPackages)
{
    DownloadLocation_t location;
    auto ArchivesMissing = [&]()
    {
        CUtlVector<CUtlString> vecMissing;
        uint64 cubMissing = 0;
        return BuildDownloadListIn(location, pManifest, pchPackageDir, vecMissing, &cubMissing,
                                   &setPackages) > 0;
    };
    if (!ArchivesMissing())
        return true;
    if (m_bOffline)
        return false;
    // The content service's current build names the same archives while it is the
    // installed one; a newer build is an update, which installs everything.
    SetProgress(0);
    UpdateStatusLocalized("#FerroBootstrapper_UpdateDownload", "Downloading Update...");
    if (!BCheckForUpdate(false, &setPackages) || ArchivesMissing())
    {
        Log("The archives of the damaged files cannot be had: installing the build again\n");
        return false;
    }
    return true;
}

bool CFerroUpdater::BReinstallPackages(KeyValues *pManifest, const CUtlVector<CUtlString> &vecPaths,
                                       const std::vector<std::string> &vecNames,
                                       const std::unordered_set<std::string> &setPackages)
{
    SetProgress(-1);
    char rgchInstalledList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledList, sizeof(rgchInstalledList), ".installed");
    std::vector<InstalledFile_t> vecListed;
    ReadInstalledFileEntries(rgchInstalledList, &vecListed);
    CUtlVector<CUtlString> vecOldFiles, vecNewFiles;
    ExtractedFiles_t extracted;
    if (UnpackPackages(pManifest, vecPaths, vecNames, vecOldFiles, vecNewFiles, &extracted) != k_EUnpackDone)
        return false;
    if (!BCommitTemporaryFolder(ListedFileKeys(vecListed)))
        return false;

    // Every other line stays as it was.
    std::vector<InstalledFile_t> vecKept;
    for (const InstalledFile_t &entry : vecListed)
    {
        if (!setPackages.count(entry.m_strPackage))
            vecKept.push_back(entry);
    }
    if (!BWriteInstalledFileList(rgchInstalledList, vecKept, vecNewFiles, extracted))
    {
        SetUpdateError(
            LocalizeUpdaterText("#FerroBootstrapper_UpdateFinalizeFail", "Failed to open install file list")
                .Get(),
            false);
        return false;
    }
    UpdateStatusLocalized("#FerroBootstrapper_UpdateComplete", "Update complete, launching...");
    return true;
}
