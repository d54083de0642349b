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
    {
        CInstalledFileListReader list(rgchListPath);
        if (!list.BIsOpen())
        {
            Log("BVerifyInstalledContents: there is no installed file list %s\n", rgchListPath);
            pvecDamaged->push_back(InstalledFile_t());
            return false;
        }
        InstalledFile_t file;
        std::string strLine;
        CInstalledFileListReader::ELine eLine;
        while ((eLine = list.Next(&file, &strLine)) != CInstalledFileListReader::k_ELineEnd)
        {
            if (eLine == CInstalledFileListReader::k_ELineEntry && file.m_llSize > 0)
                cubTotal += (uint64)file.m_llSize;
        }
    }

    std::unique_ptr<uint8[]> pubBuffer(new uint8[k_cubHashBuffer]);
    uint64 cubDone = 0;
    int nLastPercent = -1;
    auto Progress = [&](size_t cubMore)
    {
        cubDone += cubMore;
        int nPercent =
            cubTotal ? (int)((double)(cubDone > cubTotal ? cubTotal : cubDone) * 100.0 / (double)cubTotal)
                     : 100;
        if (nPercent != nLastPercent)
        {
            nLastPercent = nPercent;
            SetProgress(nPercent);
        }
        return !BStopRequested();
    };
    Progress(0);

    int cFiles = 0, cDamaged = 0;
    bool bInDoubt = false;
    // An entry with an empty path stands for a line that could not be read.
    auto Damaged = [&](const InstalledFile_t &file, const std::string &strWhy)
    {
        ++cDamaged;
        if (cDamaged <= k_cMaxDamageLogged)
            Log("BVerifyInstalledContents: %s %s\n", file.m_strPath.c_str(), strWhy.c_str());
        if (pvecDamaged->size() < k_cMaxDamagedKept)
        {
            pvecDamaged->push_back(file);
        }
        else if (!bInDoubt)
        {
            bInDoubt = true;
            pvecDamaged->push_back(InstalledFile_t());
        }
    };

    CDirectoryPresence directories(*m_pFileOps);
    CInstalledFileListReader list(rgchListPath);
    InstalledFile_t file;
    std::string strLine;
    CInstalledFileListReader::ELine eLine;
    while ((eLine = list.Next(&file, &strLine)) != CInstalledFileListReader::k_ELineEnd)
    {
        if (!Progress(0))
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
            Damaged(InstalledFile_t(), "(malformed line '" + strShown + "')");
            continue;
        }
        const char *pchPath = file.m_strPath.c_str();
        if (BIsExemptLauncher(pchPath))
            continue;
        ++cFiles;
        const bool bMayExist = directories.BMayExist(file.m_strPath);
        const bool bIsDirectory = bMayExist && PLAT_IsDirectory(pchPath);
        if (file.BIsDirectoryItem())
        {
            if (!bIsDirectory &&
                !(file.m_llSize == -1 && !file.m_strPath.empty() && file.m_strPath.back() == '\\'))
                Damaged(file, "is missing (a directory)");
            continue;
        }
        if (bIsDirectory)
        {
            Damaged(file, "is a directory where the list has a file");
            continue;
        }
        int64 llSize = bMayExist ? PLAT_GetFileSize(pchPath) : -1;
        if (llSize < 0)
        {
            Damaged(file, "is missing");
            Progress((size_t)(file.m_llSize > 0 ? file.m_llSize : 0));
            continue;
        }
        if (llSize != file.m_llSize)
        {
            Damaged(file, "has the wrong size: " + std::to_string(llSize) + " bytes, the list says " +
                              std::to_string(file.m_llSize));
            Progress((size_t)(file.m_llSize > 0 ? file.m_llSize : 0));
            continue;
        }
        if (file.m_strSHA256.empty())
        {
            // Listed by an older launcher (or the field is not a digest): its content cannot be
            // vouched for.
            Damaged(file, "has no content hash in the list");
            Progress((size_t)llSize);
            continue;
        }
        bool bStopped = false;
        uint64 cubBefore = cubDone;
        std::string strActual = HashFile(pchPath, pubBuffer.get(), Progress, &bStopped);
        if (bStopped)
        {
            *pbStopped = true;
            break;
        }
        // The last piece (or a file of one piece) counts now.
        Progress((size_t)((uint64)llSize - (cubDone - cubBefore)));
        if (strActual.empty())
            Damaged(file, "cannot be read");
        else if (strActual != file.m_strSHA256)
            Damaged(file, "has other content than the list says (SHA-256 " + strActual + ")");
    }
    if (*pbStopped)
    {
        Log("BVerifyInstalledContents: stopped\n");
        return false;
    }
    if (cDamaged > k_cMaxDamageLogged)
        Log("BVerifyInstalledContents: %d more damaged files not named\n", cDamaged - k_cMaxDamageLogged);
    Log("BVerifyInstalledContents: %d files checked, %d damaged\n", cFiles, cDamaged);
    return cDamaged == 0;
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

    // The packages to install again, in manifest order, and whether their archives are here.
    CUtlString strPackageDir = GetPackageDir();
    CUtlVector<CUtlString> vecAllPaths;
    GetPackagePathsIn(pManifest, strPackageDir.Get(), vecAllPaths);
    CUtlVector<CUtlString> vecPaths;
    std::vector<std::string> vecNames;
    std::string strNames;
    int iPath = 0;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey(), ++iPath)
    {
        if (!setPackages.count(pPackage->GetName()))
            continue;
        vecPaths.AddToTail(vecAllPaths[iPath]);
        vecNames.push_back(pPackage->GetName());
        strNames += (strNames.empty() ? "" : ", ") + vecNames.back();
    }
    if (vecNames.size() != setPackages.size())
    {
        Log("The installed manifest does not name every package of the damaged files: installing the build "
            "again\n");
        return false;
    }
    Log("Repairing %d files from the packages %s\n", (int)vecDamaged.size(), strNames.c_str());

    DownloadLocation_t location;
    auto ArchivesMissing = [&]()
    {
        CUtlVector<CUtlString> vecMissing;
        uint64 cubMissing = 0;
        return BuildDownloadListIn(location, pManifest, strPackageDir.Get(), vecMissing, &cubMissing,
                                   &setPackages) > 0;
    };
    if (ArchivesMissing())
    {
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
    }
    if (!BHasFreeDiskSpaceForUpdate())
        return false;

    SetProgress(-1);
    char rgchInstalledList[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchInstalledList, sizeof(rgchInstalledList), ".installed");
    std::vector<InstalledFile_t> vecListed;
    ReadInstalledFileEntries(rgchInstalledList, &vecListed);
    CUtlVector<CUtlString> vecOldFiles, vecNewFiles;
    ExtractedFiles_t extracted;
    if (UnpackPackages(vecPaths, vecNames, vecOldFiles, vecNewFiles, &extracted) != k_EUnpackDone)
        return false;
    if (!BCommitTemporaryFolder(ReadListedFileKeys(rgchInstalledList)))
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
